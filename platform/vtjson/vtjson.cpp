// vtjson: shared JSON handles, strict parsing and compact output over json-c.
#include "vtjson.h"

#include "vtjson_text.h"

#include <json-c/json.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace
{

// json_object_get(NULL) and json_object_put(NULL) are no-ops, so null needs no special case.
json_object* share(json_object* node)
{
    return json_object_get(node);
}

// Whether `node` is an int that does not fit in int64: json-c keeps such values as uint64 and
// json_object_get_int64 would silently clamp them.
bool isBeyondInt64(json_object* node)
{
    return json_object_get_int64(node) == std::numeric_limits<int64_t>::max() &&
           json_object_get_uint64(node) >
               static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
}

// Doubles convert to integers only when integral and in range, so that 2.5 is not read as 2.
template <typename T> bool integralDouble(double value, T& out)
{
    // Both bounds are powers of two, so they are exact as doubles.
    const double low = static_cast<double>(std::numeric_limits<T>::min());
    const double high = -low;
    if (!std::isfinite(value) || value != std::trunc(value) || value < low || value >= high)
        return false;
    out = static_cast<T>(value);
    return true;
}

} // namespace

JValue::JValue() : m_node(nullptr) {}
JValue::JValue(bool value) : m_node(json_object_new_boolean(value)) {}
JValue::JValue(int32_t value) : m_node(json_object_new_int64(value)) {}
JValue::JValue(int64_t value) : m_node(json_object_new_int64(value)) {}
// JSON has no infinities and no NaN: such a value is null.
JValue::JValue(double value)
    : m_node(std::isfinite(value) ? json_object_new_double(value) : nullptr)
{
}
JValue::JValue(const char* text) : m_node(text ? json_object_new_string(text) : nullptr) {}
JValue::JValue(const std::string& text)
    : m_node(json_object_new_string_len(text.data(), static_cast<int>(text.size())))
{
}
JValue::JValue(const JValue& other) : m_node(share(other.m_node)) {}
JValue::JValue(JValue&& other) noexcept : m_node(other.m_node)
{
    other.m_node = nullptr;
}

JValue& JValue::operator=(const JValue& other)
{
    // Take the new reference first: `other` may be this, or a value held only by this node.
    json_object* node = share(other.m_node);
    json_object_put(m_node);
    m_node = node;
    return *this;
}

JValue& JValue::operator=(JValue&& other) noexcept
{
    if (this != &other) {
        json_object_put(m_node);
        m_node = other.m_node;
        other.m_node = nullptr;
    }
    return *this;
}

JValue::~JValue()
{
    json_object_put(m_node);
}

JValue JValue::object()
{
    return adopt(json_object_new_object());
}

JValue JValue::array()
{
    return adopt(json_object_new_array());
}

JValue JValue::adopt(json_object* node)
{
    JValue value;
    value.m_node = node;
    return value;
}

bool JValue::isNull() const
{
    return m_node == nullptr;
}
bool JValue::isBool() const
{
    return json_object_is_type(m_node, json_type_boolean);
}
bool JValue::isNumber() const
{
    return isInteger() || json_object_is_type(m_node, json_type_double);
}
bool JValue::isInteger() const
{
    return json_object_is_type(m_node, json_type_int);
}
bool JValue::isString() const
{
    return json_object_is_type(m_node, json_type_string);
}
bool JValue::isArray() const
{
    return json_object_is_type(m_node, json_type_array);
}
bool JValue::isObject() const
{
    return json_object_is_type(m_node, json_type_object);
}

bool JValue::hasKey(const std::string& key) const
{
    return isObject() && json_object_object_get_ex(m_node, key.c_str(), nullptr);
}

JValue JValue::operator[](const std::string& key) const
{
    json_object* child = nullptr;
    if (isObject())
        json_object_object_get_ex(m_node, key.c_str(), &child);
    return adopt(share(child));
}

bool JValue::put(const std::string& key, const JValue& value)
{
    // An object holding itself would never be freed; deeper cycles are the caller's to avoid.
    if (!isObject() || value.m_node == m_node)
        return false;
    // json-c replaces an existing key's value in its place, which keeps the key order.
    json_object* child = share(value.m_node);
    if (json_object_object_add(m_node, key.c_str(), child) != 0) {
        json_object_put(child);
        return false;
    }
    return true;
}

bool JValue::remove(const std::string& key)
{
    if (!hasKey(key))
        return false;
    json_object_object_del(m_node, key.c_str());
    return true;
}

std::vector<std::string> JValue::keys() const
{
    std::vector<std::string> names;
    if (isObject()) {
        json_object_object_foreach(m_node, key, child)
        {
            (void)child;
            names.emplace_back(key);
        }
    }
    return names;
}

size_t JValue::arraySize() const
{
    return isArray() ? json_object_array_length(m_node) : 0;
}

JValue JValue::operator[](size_t index) const
{
    if (index >= arraySize())
        return JValue();
    return adopt(share(json_object_array_get_idx(m_node, index)));
}

bool JValue::append(const JValue& value)
{
    if (!isArray() || value.m_node == m_node)
        return false;
    json_object* child = share(value.m_node);
    if (json_object_array_add(m_node, child) != 0) {
        json_object_put(child);
        return false;
    }
    return true;
}

bool JValue::asString(std::string& out) const
{
    if (!isString())
        return false;
    out.assign(json_object_get_string(m_node),
               static_cast<size_t>(json_object_get_string_len(m_node)));
    return true;
}

std::string JValue::asString() const
{
    std::string text;
    asString(text);
    return text;
}

bool JValue::asBool(bool& out) const
{
    if (!isBool())
        return false;
    out = json_object_get_boolean(m_node) != 0;
    return true;
}

bool JValue::asBool() const
{
    bool value = false;
    asBool(value);
    return value;
}

bool JValue::asNumber(int32_t& out) const
{
    int64_t wide = 0;
    if (!asNumber(wide) || wide < std::numeric_limits<int32_t>::min() ||
        wide > std::numeric_limits<int32_t>::max())
        return false;
    out = static_cast<int32_t>(wide);
    return true;
}

bool JValue::asNumber(int64_t& out) const
{
    if (isInteger()) {
        if (isBeyondInt64(m_node))
            return false;
        out = json_object_get_int64(m_node);
        return true;
    }
    return isNumber() && integralDouble(json_object_get_double(m_node), out);
}

bool JValue::asNumber(double& out) const
{
    if (!isNumber())
        return false;
    out = json_object_get_double(m_node);
    return true;
}

int32_t JValue::asInt32() const
{
    int32_t value = 0;
    asNumber(value);
    return value;
}

int64_t JValue::asInt64() const
{
    int64_t value = 0;
    asNumber(value);
    return value;
}

double JValue::asDouble() const
{
    double value = 0;
    asNumber(value);
    return value;
}

std::string JValue::stringify() const
{
    // The text belongs to the node and lives until the node changes, so copy it at once.
    std::string text = json_object_to_json_string_ext(m_node, JSON_C_TO_STRING_PLAIN |
                                                                  JSON_C_TO_STRING_NOSLASHESCAPE);
    // Strings made in code may hold bytes that are not UTF-8; the text must parse again.
    vtjson::makeValidUtf8(text);
    return text;
}

JValue JValue::copy() const
{
    json_object* node = nullptr;
    if (m_node && json_object_deep_copy(m_node, &node, nullptr) != 0)
        throw std::bad_alloc();
    return adopt(node);
}

bool JValue::operator==(const JValue& other) const
{
    return json_object_equal(m_node, other.m_node) != 0;
}

namespace
{

enum : unsigned {
    TypeObject = 1u << 0,
    TypeArray = 1u << 1,
    TypeString = 1u << 2,
    TypeNumber = 1u << 3,
    TypeInteger = 1u << 4,
    TypeBoolean = 1u << 5,
    TypeNull = 1u << 6,
};

unsigned typeBit(json_object* name)
{
    static const struct {
        const char* name;
        unsigned bit;
    } names[] = {
        {"object", TypeObject}, {"array", TypeArray},     {"string", TypeString},
        {"number", TypeNumber}, {"integer", TypeInteger}, {"boolean", TypeBoolean},
        {"null", TypeNull},
    };
    if (!json_object_is_type(name, json_type_string))
        return 0;
    for (const auto& entry : names) {
        if (std::strcmp(entry.name, json_object_get_string(name)) == 0)
            return entry.bit;
    }
    return 0;
}

JValue parseStrict(const std::string& text, std::string& error)
{
    if (!vtjson::checkJsonText(text, error))
        return JValue();
    json_tokener* tokener = json_tokener_new();
    if (!tokener) {
        error = "out of memory";
        return JValue();
    }
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    // Length -1 makes json-c read the terminating NUL, which ends a bare number at the end.
    JValue value = JValue::adopt(json_tokener_parse_ex(tokener, text.c_str(), -1));
    json_tokener_error status = json_tokener_get_error(tokener);
    json_tokener_free(tokener);
    // A top-level null parses to NULL with no error; a truncated text ends in "continue".
    if (status != json_tokener_success)
        error = json_tokener_error_desc(status);
    return value;
}

} // namespace

JSchemaFragment::JSchemaFragment(const std::string& schemaText) : m_types(0)
{
    std::string error;
    JValue schema = parseStrict(schemaText, error);
    if (!error.empty() || !schema.isObject() || schema.keys().size() != 1)
        return;
    JValue type = schema["type"];
    if (type.isString()) {
        m_types = typeBit(type.raw());
        return;
    }
    unsigned types = 0;
    for (size_t i = 0; i < type.arraySize(); i++) {
        unsigned bit = typeBit(type[i].raw());
        if (bit == 0)
            return;
        types |= bit;
    }
    m_types = types;
}

bool JSchemaFragment::accepts(const JValue& value) const
{
    unsigned wanted = 0;
    switch (json_object_get_type(value.raw())) {
    case json_type_null:
        wanted = TypeNull;
        break;
    case json_type_boolean:
        wanted = TypeBoolean;
        break;
    case json_type_double:
        wanted = TypeNumber;
        break;
    case json_type_int:
        wanted = TypeNumber | TypeInteger;
        break;
    case json_type_object:
        wanted = TypeObject;
        break;
    case json_type_array:
        wanted = TypeArray;
        break;
    case json_type_string:
        wanted = TypeString;
        break;
    }
    return (m_types & wanted) != 0;
}

bool JDomParser::parse(const std::string& text, const JSchemaFragment& schema)
{
    m_dom = JValue();
    m_error.clear();
    JValue value = parseStrict(text, m_error);
    if (!m_error.empty())
        return false;
    if (!schema.accepts(value)) {
        m_error = "value rejected by schema";
        return false;
    }
    m_dom = value;
    return true;
}

bool JGenerator::Stringify(const JValue& value, const JSchemaFragment& schema, std::string& out)
{
    if (!schema.accepts(value))
        return false;
    out = value.stringify();
    return true;
}

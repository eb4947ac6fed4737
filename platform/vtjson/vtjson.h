// vtjson: a JSON DOM over json-c whose values are shared handles.
#ifndef VTJSON_H
#define VTJSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct json_object;

// A JSON value. Copies are handles on the same node: a value put into an object or an array and
// changed afterwards is changed there too. Object keys keep their insertion order.
class JValue
{
  public:
    JValue(); // null
    JValue(bool value);
    JValue(int32_t value);
    JValue(int64_t value);
    JValue(double value);
    JValue(const char* text); // NULL gives null
    JValue(const std::string& text);
    JValue(const JValue& other);
    JValue(JValue&& other) noexcept;
    JValue& operator=(const JValue& other);
    JValue& operator=(JValue&& other) noexcept;
    ~JValue();

    static JValue object();
    static JValue array();
    // Takes over one reference of `node` (NULL is null).
    static JValue adopt(json_object* node);

    bool isNull() const;
    bool isBool() const;
    bool isNumber() const;
    bool isInteger() const;
    bool isString() const;
    bool isArray() const;
    bool isObject() const;

    // Objects. A missing key, or a value that is not an object, reads as null.
    bool hasKey(const std::string& key) const;
    JValue operator[](const std::string& key) const;
    JValue operator[](const char* key) const { return (*this)[std::string(key)]; }
    // Sets `key`, replacing an earlier value in its place; false when this is not an object.
    bool put(const std::string& key, const JValue& value);
    bool remove(const std::string& key);
    std::vector<std::string> keys() const;

    // Arrays. An index out of range, or a value that is not an array, reads as null.
    size_t arraySize() const;
    JValue operator[](size_t index) const;
    JValue operator[](int index) const { return (*this)[static_cast<size_t>(index)]; }
    bool append(const JValue& value);

    // Conversions. Each form with an out-parameter reports whether the value had that type
    // (a number for the numeric ones) and leaves `out` alone otherwise; the plain forms give
    // "", false or 0 instead. A double converts to an integer only when it is integral and in
    // range (2.0 gives 2, 2.5 gives nothing); an integer beyond int64 converts only to double.
    bool asString(std::string& out) const;
    std::string asString() const;
    bool asBool(bool& out) const;
    bool asBool() const;
    bool asNumber(int32_t& out) const;
    bool asNumber(int64_t& out) const;
    bool asNumber(double& out) const;
    int32_t asInt32() const;
    int64_t asInt64() const;
    double asDouble() const;

    // Compact JSON text of this value, whatever its type.
    std::string stringify() const;
    // A value with the same content that shares no node with this one: a change to either
    // leaves the other alone.
    JValue copy() const;

    // Two values are equal when their JSON content is.
    bool operator==(const JValue& other) const;
    bool operator!=(const JValue& other) const { return !(*this == other); }

    json_object* raw() const { return m_node; }

  private:
    json_object* m_node;
};

// The one schema form in use: {"type": T} with T a type name or an array of them, among
// "object", "array", "string", "number", "integer", "boolean", "null". Anything else is invalid
// and accepts nothing.
class JSchemaFragment
{
  public:
    explicit JSchemaFragment(const std::string& schemaText);
    bool isValid() const { return m_types != 0; }
    bool accepts(const JValue& value) const;

  private:
    unsigned m_types;
};

// Strict parsing of a whole text (trailing garbage is an error) checked against a schema.
class JDomParser
{
  public:
    bool parse(const std::string& text, const JSchemaFragment& schema);
    JValue getDom() const { return m_dom; }
    const std::string& errorText() const { return m_error; }

  private:
    JValue m_dom;
    std::string m_error;
};

class JGenerator
{
  public:
    // Compact text of `value` (no slash escaping); false when the schema rejects it.
    static bool Stringify(const JValue& value, const JSchemaFragment& schema, std::string& out);
};

#endif

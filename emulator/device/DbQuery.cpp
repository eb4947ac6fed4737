// DbQuery: a database query read from its JSON form, and its application to stored objects.
#include "DbQuery.h"

#include "DeviceService.h"
#include "JsonMatch.h"

#include <algorithm>

namespace emulator
{

namespace
{
const int kBadQuery = -986;

[[noreturn]] void bad(const std::string& text)
{
    throw RequestError{kBadQuery, "Malformed query: " + text};
}
} // namespace

DbQuery DbQuery::parse(const JValue& query)
{
    if (!query.isObject())
        bad("\"query\" must be an object");
    DbQuery parsed;
    if (!query["from"].asString(parsed.from) || parsed.from.empty())
        bad("\"from\" must name a kind");
    if (query.hasKey("where")) {
        JValue where = query["where"];
        if (!where.isArray())
            bad("\"where\" must be an array");
        for (size_t i = 0; i < where.arraySize(); i++) {
            JValue clause = where[i];
            Clause c;
            if (!clause.isObject() || !clause["prop"].asString(c.prop) ||
                !clause["op"].asString(c.op) || !clause.hasKey("val"))
                bad("a clause needs \"prop\", \"op\" and \"val\"");
            if (!isOperator(c.op))
                bad("unknown operator \"" + c.op + "\"");
            c.val = clause["val"];
            parsed.where.push_back(c);
        }
    }
    if (query.hasKey("select")) {
        JValue select = query["select"];
        if (!select.isArray())
            bad("\"select\" must be an array");
        for (size_t i = 0; i < select.arraySize(); i++) {
            std::string prop;
            if (!select[i].asString(prop))
                bad("\"select\" holds property names");
            parsed.select.push_back(prop);
        }
    }
    if (query.hasKey("orderBy") && !query["orderBy"].asString(parsed.orderBy))
        bad("\"orderBy\" must be a property name");
    if (query.hasKey("desc") && !query["desc"].asBool(parsed.descending))
        bad("\"desc\" must be a boolean");
    if (query.hasKey("limit") && (!query["limit"].asNumber(parsed.limit) || parsed.limit < 0))
        bad("\"limit\" must be a count");
    return parsed;
}

bool DbQuery::matches(const JValue& object) const
{
    if (object["_kind"].asString() != from)
        return false;
    bool namesDel = false;
    for (const Clause& clause : where) {
        if (clause.prop == "_del")
            namesDel = true;
        if (!compare(object[clause.prop], clause.op, clause.val))
            return false;
    }
    return namesDel || !object["_del"].asBool();
}

JValue DbQuery::apply(const std::vector<JValue>& objects) const
{
    std::vector<JValue> selected;
    for (const JValue& object : objects) {
        if (matches(object))
            selected.push_back(object);
    }
    if (!orderBy.empty()) {
        std::stable_sort(selected.begin(), selected.end(),
                         [this](const JValue& a, const JValue& b) {
                             return compare(a[orderBy], descending ? ">" : "<", b[orderBy]);
                         });
    }
    if (limit >= 0 && selected.size() > size_t(limit))
        selected.resize(size_t(limit));
    JValue results = JValue::array();
    for (const JValue& object : selected) {
        if (select.empty()) {
            results.append(object);
            continue;
        }
        JValue projected = JValue::object();
        projected.put("_id", object["_id"]);
        for (const std::string& prop : select) {
            if (object.hasKey(prop))
                projected.put(prop, object[prop]);
        }
        results.append(projected);
    }
    return results;
}

} // namespace emulator

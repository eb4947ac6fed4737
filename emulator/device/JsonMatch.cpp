// JsonMatch: the comparisons shared by database queries and activity triggers.
#include "JsonMatch.h"

namespace emulator
{

bool isOperator(const std::string& op)
{
    return op == "=" || op == "!=" || op == "<" || op == "<=" || op == ">" || op == ">=";
}

JValue valueAt(const JValue& object, const JValue& prop)
{
    if (prop.isString())
        return object[prop.asString()];
    JValue value = object;
    for (size_t i = 0; i < prop.arraySize(); i++)
        value = value[prop[i].asString()];
    return value;
}

namespace
{
// <0, 0, >0; false when the two cannot be ordered.
bool order(const JValue& lhs, const JValue& rhs, int& result)
{
    if (lhs.isNumber() && rhs.isNumber()) {
        int64_t a = 0;
        int64_t b = 0;
        if (lhs.isInteger() && rhs.isInteger() && lhs.asNumber(a) && rhs.asNumber(b)) {
            result = a < b ? -1 : (a > b ? 1 : 0);
        } else {
            double x = lhs.asDouble();
            double y = rhs.asDouble();
            result = x < y ? -1 : (x > y ? 1 : 0);
        }
        return true;
    }
    if (lhs.isString() && rhs.isString()) {
        result = lhs.asString().compare(rhs.asString());
        return true;
    }
    return false;
}
} // namespace

bool compare(const JValue& lhs, const std::string& op, const JValue& rhs)
{
    if (op == "=")
        return lhs == rhs;
    if (op == "!=")
        return lhs != rhs;
    int result = 0;
    if (!order(lhs, rhs, result))
        return false;
    if (op == "<")
        return result < 0;
    if (op == "<=")
        return result <= 0;
    if (op == ">")
        return result > 0;
    if (op == ">=")
        return result >= 0;
    return false;
}

} // namespace emulator

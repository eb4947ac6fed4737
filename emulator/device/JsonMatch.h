// JsonMatch: the comparisons shared by database queries and activity triggers.
#ifndef EMULATOR_JSONMATCH_H
#define EMULATOR_JSONMATCH_H

#include "vtjson.h"

#include <string>

namespace emulator
{

// One of = != < <= > >=.
bool isOperator(const std::string& op);

// The value under `prop`, a key or an array of keys naming a path; null when absent.
JValue valueAt(const JValue& object, const JValue& prop);

// `lhs op rhs`. = and != compare JSON content, so = null also holds for an absent value. The
// orderings hold between two numbers or two strings only.
bool compare(const JValue& lhs, const std::string& op, const JValue& rhs);

} // namespace emulator

#endif

// KelVvmUtils: JSON text conversion, system properties, trimming and free disk space.
#ifndef KELVVMUTILS_H
#define KELVVMUTILS_H

#include "vtjson.h"

#include <cstdint>
#include <string>

// Both accept only an object or an array at the top: every payload and record of the service
// has that shape. They throw std::runtime_error "JSON toString exception" / "JSON parse
// exception".
std::string vtjsonToString(JValue& value);
JValue vtjsonParse(const std::string& text);

// Copies the system property `key` into `out`; false (and `out` untouched) when there is none.
bool getTamoPrefSystemValue(const char* key, std::string& out);

// `text` without the leading and trailing characters that belong to `set`.
std::string trimWhitespace(const std::string& text, const std::string& set);

// Bytes available to an unprivileged user on the file system holding `path`; throws
// std::runtime_error "Unable to get free space".
int64_t getFreeSpace(const std::string& path);

#endif

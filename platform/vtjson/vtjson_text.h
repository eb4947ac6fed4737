// vtjson_text: the checks json-c does not make on a JSON text, and UTF-8 repair for output.
#ifndef VTJSON_TEXT_H
#define VTJSON_TEXT_H

#include <string>

namespace vtjson
{

// Whether `text` is exactly one JSON text (RFC 8259) whose numbers a double or a 64-bit integer
// holds: number syntax, string escapes, well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF, no lone surrogate escapes), nothing after the value. Otherwise
// `error` says what is wrong and where.
bool checkJsonText(const std::string& text, std::string& error);

// Replaces every byte of `text` that is not part of well-formed UTF-8 with U+FFFD.
void makeValidUtf8(std::string& text);

} // namespace vtjson

#endif

// Base64: the encoder that carries a recorded greeting inside an XML element.
#ifndef BASE64_H
#define BASE64_H

#include <cstddef>
#include <string>

class Base64
{
  public:
    // Standard Base64 (RFC 4648 section 4) of `length` bytes, padded, on one line. A negative
    // length encodes nothing. The length is as wide as a pointer: an int would cut a size past
    // 2 GiB (or 4 GiB) short without a word.
    static std::string encode(const char* data, std::ptrdiff_t length);
};

#endif

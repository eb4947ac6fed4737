// Base64: the encoder that carries a recorded greeting inside an XML element.
#ifndef BASE64_H
#define BASE64_H

#include <string>

class Base64
{
  public:
    // Standard Base64 (RFC 4648 section 4) of `length` bytes, padded, on one line. A negative
    // length encodes nothing.
    static std::string encode(const char* data, int length);
};

#endif

// KelVvmXml: how the names and texts of the SOAP answers are compared.
#ifndef KELVVMXML_H
#define KELVVMXML_H

#include <cstddef>
#include <string>

// ASCII case-insensitive equality of `size` bytes at `text` with the NUL-terminated `other`;
// other bytes compare exactly (the platform's answers vary in letter case).
inline bool asciiEquals(const char* text, size_t size, const char* other)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    size_t i = 0;
    for (; i < size && other[i]; i++) {
        if (lower(text[i]) != lower(other[i]))
            return false;
    }
    return i == size && !other[i];
}
inline bool asciiEquals(const std::string& text, const char* other)
{
    return asciiEquals(text.data(), text.size(), other);
}

#endif

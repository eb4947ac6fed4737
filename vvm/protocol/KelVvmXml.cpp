// KelVvmXml: how the names and texts of the SOAP answers are compared.
#include "KelVvmXml.h"

namespace
{
char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
} // namespace

bool asciiEquals(const char* text, size_t size, const char* other)
{
    size_t i = 0;
    for (; i < size && other[i]; i++) {
        if (asciiLower(text[i]) != asciiLower(other[i]))
            return false;
    }
    return i == size && !other[i];
}

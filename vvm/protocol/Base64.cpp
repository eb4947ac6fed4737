// Base64: the encoder that carries a recorded greeting inside an XML element.
#include "Base64.h"

namespace
{
const char keys[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64::encode(const char* data, std::ptrdiff_t length)
{
    std::string out;
    if (length <= 0)
        return out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    out.reserve((size_t(length) + 2) / 3 * 4);
    std::ptrdiff_t i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
        out += keys[b0 >> 2];
        out += keys[((b0 & 3) << 4) | (b1 >> 4)];
        out += keys[((b1 & 15) << 2) | (b2 >> 6)];
        out += keys[b2 & 63];
    }
    if (length - i == 1) {
        unsigned b0 = bytes[i];
        out += keys[b0 >> 2];
        out += keys[(b0 & 3) << 4];
        out += "==";
    } else if (length - i == 2) {
        unsigned b0 = bytes[i], b1 = bytes[i + 1];
        out += keys[b0 >> 2];
        out += keys[((b0 & 3) << 4) | (b1 >> 4)];
        out += keys[(b1 & 15) << 2];
        out += '=';
    }
    return out;
}

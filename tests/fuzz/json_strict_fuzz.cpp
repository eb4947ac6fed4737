// Fuzz target: the JSON layer against a strict reference. The reference below reads RFC 8259
// JSON with the layer's documented limits (an object or an array at the top, at most 32 levels
// of nesting as json-c reads them, integers within 64 bits, finite numbers, well-formed UTF-8,
// no lone surrogate escapes). The layer must accept exactly what the reference accepts, and its
// output must be text the reference accepts that parses back to an equal value and itself.
#include "vtjson.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{

const int kMaxDepth = 32;

class Reference
{
  public:
    explicit Reference(const std::string& text) : m_text(text) {}

    bool accepts()
    {
        space();
        if (m_pos >= m_text.size() || (m_text[m_pos] != '{' && m_text[m_pos] != '['))
            return false;
        if (!value(0))
            return false;
        space();
        return m_pos == m_text.size();
    }

  private:
    int peek() const { return m_pos < m_text.size() ? (unsigned char)m_text[m_pos] : -1; }
    bool eat(char c)
    {
        if (peek() != (unsigned char)c)
            return false;
        m_pos++;
        return true;
    }
    void space()
    {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
            m_pos++;
    }
    bool literal(const char* word)
    {
        for (; *word; word++) {
            if (!eat(*word))
                return false;
        }
        return true;
    }

    bool value(int depth)
    {
        space();
        switch (peek()) {
        case '{':
            return object(depth + 1);
        case '[':
            return array(depth + 1);
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    bool object(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        m_pos++;
        space();
        if (eat('}'))
            return true;
        for (;;) {
            space();
            if (!string())
                return false;
            space();
            if (!eat(':') || !value(depth))
                return false;
            space();
            if (eat('}'))
                return true;
            if (!eat(','))
                return false;
        }
    }

    bool array(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        m_pos++;
        space();
        if (eat(']'))
            return true;
        for (;;) {
            if (!value(depth))
                return false;
            space();
            if (eat(']'))
                return true;
            if (!eat(','))
                return false;
        }
    }

    bool digits()
    {
        size_t start = m_pos;
        while (peek() >= '0' && peek() <= '9')
            m_pos++;
        return m_pos > start;
    }

    bool number()
    {
        size_t start = m_pos;
        eat('-');
        if (eat('0')) {
        } else if (peek() >= '1' && peek() <= '9') {
            digits();
        } else {
            return false;
        }
        bool integer = true;
        if (eat('.')) {
            integer = false;
            if (!digits())
                return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            m_pos++;
            integer = false;
            if (!eat('+'))
                eat('-');
            if (!digits())
                return false;
        }
        std::string token = m_text.substr(start, m_pos - start);
        errno = 0;
        if (!integer)
            return std::isfinite(std::strtod(token.c_str(), nullptr));
        if (token[0] == '-')
            std::strtoll(token.c_str(), nullptr, 10);
        else
            std::strtoull(token.c_str(), nullptr, 10);
        return errno != ERANGE;
    }

    bool hex4(unsigned& out)
    {
        out = 0;
        for (int i = 0; i < 4; i++) {
            int c = peek();
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = unsigned(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = unsigned(c - 'A' + 10);
            else
                return false;
            out = out * 16 + digit;
            m_pos++;
        }
        return true;
    }

    // One UTF-8 sequence, by the table of well-formed byte sequences.
    bool utf8()
    {
        int first = peek();
        int count;
        int low = 0x80, high = 0xBF;
        if (first >= 0xC2 && first <= 0xDF) {
            count = 1;
        } else if (first >= 0xE0 && first <= 0xEF) {
            count = 2;
            low = first == 0xE0 ? 0xA0 : 0x80;
            high = first == 0xED ? 0x9F : 0xBF;
        } else if (first >= 0xF0 && first <= 0xF4) {
            count = 3;
            low = first == 0xF0 ? 0x90 : 0x80;
            high = first == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        m_pos++;
        for (int i = 0; i < count; i++) {
            int c = peek();
            if (c < (i == 0 ? low : 0x80) || c > (i == 0 ? high : 0xBF))
                return false;
            m_pos++;
        }
        return true;
    }

    bool string()
    {
        if (!eat('"'))
            return false;
        for (;;) {
            int c = peek();
            if (c < 0 || c < 0x20)
                return false;
            if (c == '"') {
                m_pos++;
                return true;
            }
            if (c >= 0x80) {
                if (!utf8())
                    return false;
                continue;
            }
            m_pos++;
            if (c != '\\')
                continue;
            c = peek();
            m_pos++;
            if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' ||
                c == 't')
                continue;
            if (c != 'u')
                return false;
            unsigned unit;
            if (!hex4(unit) || (unit >= 0xDC00 && unit <= 0xDFFF))
                return false;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                unsigned second;
                if (!eat('\\') || !eat('u') || !hex4(second) || second < 0xDC00 || second > 0xDFFF)
                    return false;
            }
        }
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    static const JSchemaFragment topLevel("{\"type\":[\"object\",\"array\"]}");
    JDomParser parser;
    bool accepted = parser.parse(text, topLevel);
    if (accepted != Reference(text).accepts())
        std::abort();
    if (!accepted)
        return 0;
    JValue value = parser.getDom();
    std::string out = value.stringify();
    if (!Reference(out).accepts())
        std::abort();
    JDomParser again;
    if (!again.parse(out, topLevel) || !(again.getDom() == value) ||
        again.getDom().stringify() != out)
        std::abort();
    return 0;
}

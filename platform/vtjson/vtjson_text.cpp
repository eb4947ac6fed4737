// vtjson_text: a strict check of JSON texts ahead of json-c, whose strict mode still takes
// numbers such as -01 and 00.5, bytes that are not UTF-8, and numbers out of range.
#include "vtjson_text.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vtjson
{

namespace
{

// The length of the well-formed UTF-8 sequence at `p` (at most `available` bytes), 0 if none.
size_t utf8SequenceLength(const unsigned char* p, size_t available)
{
    // The well-formed sequences of the Unicode standard: the second byte's range depends on
    // the first, which rules out overlong forms, surrogates and values above U+10FFFF.
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (available < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++) {
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    }
    return length;
}

} // namespace

void makeValidUtf8(std::string& text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0, length = 0;
    while (i < text.size() && (length = utf8SequenceLength(bytes + i, text.size() - i)) > 0)
        i += length;
    if (i == text.size())
        return;
    std::string out = text.substr(0, i);
    while (i < text.size()) {
        length = utf8SequenceLength(bytes + i, text.size() - i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            i++;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    text = std::move(out);
}

namespace
{

class Checker
{
  public:
    explicit Checker(const std::string& text)
        : m_text(reinterpret_cast<const unsigned char*>(text.data())), m_size(text.size())
    {
    }

    bool check(std::string& error)
    {
        // Containers still open: '{' or '['. Kept on the heap, so no nesting depth can
        // exhaust the stack.
        std::string open;
        skipSpace();
        bool ok = value(open);
        while (ok) {
            skipSpace();
            if (open.empty()) {
                if (m_pos != m_size)
                    ok = fail("text after the value");
                break;
            }
            char closer = open.back() == '{' ? '}' : ']';
            if (peek() == closer) {
                m_pos++;
                open.pop_back();
                continue;
            }
            if (peek() != ',') {
                ok = fail(std::string("expected ',' or '") + closer + "'");
                break;
            }
            m_pos++;
            skipSpace();
            ok = (open.back() == '[' || member()) && value(open);
        }
        error = m_error;
        return ok;
    }

  private:
    int peek() const { return m_pos < m_size ? m_text[m_pos] : -1; }

    bool fail(const std::string& what)
    {
        if (m_error.empty())
            m_error = what + " at offset " + std::to_string(m_pos);
        return false;
    }

    void skipSpace()
    {
        while (m_pos < m_size && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' ||
                                  m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
            m_pos++;
    }

    // A key and its colon; the value follows.
    bool member()
    {
        if (peek() != '"')
            return fail("expected a key");
        if (!string())
            return false;
        skipSpace();
        if (peek() != ':')
            return fail("expected ':'");
        m_pos++;
        skipSpace();
        return true;
    }

    // One value, or the opening of a container and its first member; false on an error.
    bool value(std::string& open)
    {
        for (;;) {
            int c = peek();
            if (c == '{' || c == '[') {
                m_pos++;
                skipSpace();
                if (peek() == (c == '{' ? '}' : ']')) {
                    m_pos++;
                    return true;
                }
                open += char(c);
                if (c == '{' && !member())
                    return false;
                continue;
            }
            if (c == '"')
                return string();
            if (c == '-' || (c >= '0' && c <= '9'))
                return number();
            for (const char* word : {"true", "false", "null"}) {
                size_t length = std::strlen(word);
                if (m_size - m_pos >= length && std::memcmp(m_text + m_pos, word, length) == 0) {
                    m_pos += length;
                    return true;
                }
            }
            return fail(c < 0 ? "unexpected end of text" : "expected a value");
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
        if (peek() == '-')
            m_pos++;
        if (peek() == '0') {
            m_pos++;
            if (peek() >= '0' && peek() <= '9')
                return fail("leading zero in a number");
        } else if (!digits()) {
            return fail("a number needs digits");
        }
        bool integer = true;
        if (peek() == '.') {
            m_pos++;
            integer = false;
            if (!digits())
                return fail("a number needs digits after '.'");
        }
        if (peek() == 'e' || peek() == 'E') {
            m_pos++;
            integer = false;
            if (peek() == '+' || peek() == '-')
                m_pos++;
            if (!digits())
                return fail("a number needs digits in its exponent");
        }
        std::string token(reinterpret_cast<const char*>(m_text) + start, m_pos - start);
        bool inRange = true;
        if (integer) {
            // json-c would clamp these silently.
            errno = 0;
            if (token[0] == '-')
                std::strtoll(token.c_str(), nullptr, 10);
            else
                std::strtoull(token.c_str(), nullptr, 10);
            inRange = errno != ERANGE;
        } else {
            // Too small a number is read as zero, which is fine; too large a one is not.
            inRange = std::isfinite(std::strtod(token.c_str(), nullptr));
        }
        if (!inRange) {
            m_pos = start;
            return fail("number out of range");
        }
        return true;
    }

    bool hex4(unsigned& out)
    {
        if (m_size - m_pos < 4)
            return fail("short \\u escape");
        out = 0;
        for (int i = 0; i < 4; i++) {
            int c = m_text[m_pos++];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                return fail("bad \\u escape");
            out = out * 16 + unsigned(digit);
        }
        return true;
    }

    bool string()
    {
        m_pos++; // the opening quote
        for (;;) {
            int c = peek();
            if (c < 0)
                return fail("unterminated string");
            if (c == '"') {
                m_pos++;
                return true;
            }
            if (c < 0x20)
                return fail("control character in a string");
            if (c == '\\') {
                m_pos++;
                int escaped = peek();
                m_pos++;
                if (escaped == 'u') {
                    unsigned unit = 0;
                    if (!hex4(unit))
                        return false;
                    if (unit >= 0xDC00 && unit <= 0xDFFF)
                        return fail("lone surrogate escape");
                    if (unit >= 0xD800 && unit <= 0xDBFF) {
                        unsigned low = 0;
                        if (peek() != '\\' || m_pos + 1 >= m_size || m_text[m_pos + 1] != 'u')
                            return fail("lone surrogate escape");
                        m_pos += 2;
                        if (!hex4(low))
                            return false;
                        if (low < 0xDC00 || low > 0xDFFF)
                            return fail("lone surrogate escape");
                    }
                } else if (escaped < 0 || !std::strchr("\"\\/bfnrt", escaped)) {
                    m_pos--;
                    return fail("bad escape");
                }
                continue;
            }
            size_t length = utf8SequenceLength(m_text + m_pos, m_size - m_pos);
            if (length == 0)
                return fail("text that is not UTF-8");
            m_pos += length;
        }
    }

    const unsigned char* m_text;
    size_t m_size;
    size_t m_pos = 0;
    std::string m_error;
};

} // namespace

bool checkJsonText(const std::string& text, std::string& error)
{
    return Checker(text).check(error);
}

} // namespace vtjson

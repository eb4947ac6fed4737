// KelVvmXml: how the SOAP answers' elements are matched and read.
#include "KelVvmXml.h"

#include <cstring>

namespace
{
char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool equalsFolded(const char* text, size_t size, const char* other)
{
    size_t i = 0;
    for (; i < size && other[i]; i++) {
        if (asciiLower(text[i]) != asciiLower(other[i]))
            return false;
    }
    return i == size && !other[i];
}
} // namespace

bool asciiEquals(const std::string& text, const char* other)
{
    return equalsFolded(text.data(), text.size(), other);
}

bool xmlNameIs(const xmlNode* node, const char* name)
{
    if (!node || node->type != XML_ELEMENT_NODE || !node->name)
        return false;
    const char* actual = reinterpret_cast<const char*>(node->name);
    return equalsFolded(actual, std::strlen(actual), name);
}

std::string xmlText(const xmlNode* node)
{
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

// KelVvmXml: how the SOAP answers' elements are matched and read.
#include "KelVvmXml.h"

namespace
{
char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
} // namespace

bool xmlNameIs(const xmlNode* node, const char* name)
{
    if (!node || node->type != XML_ELEMENT_NODE || !node->name)
        return false;
    const char* actual = reinterpret_cast<const char*>(node->name);
    for (; *actual && *name; actual++, name++) {
        if (asciiLower(*actual) != asciiLower(*name))
            return false;
    }
    return *actual == *name;
}

std::string xmlText(const xmlNode* node)
{
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

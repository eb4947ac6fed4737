// KelVvmXml: how the SOAP answers' elements are matched and read.
#ifndef KELVVMXML_H
#define KELVVMXML_H

#include <libxml/tree.h>

#include <string>

// ASCII case-insensitive equality; other bytes compare exactly.
bool asciiEquals(const std::string& text, const char* other);

// True when `node` is an element whose local name is `name`, ASCII case-insensitively (the
// platform's answers vary in letter case and namespace prefixes).
bool xmlNameIs(const xmlNode* node, const char* name);

// The text content of `node` and its descendants.
std::string xmlText(const xmlNode* node);

#endif

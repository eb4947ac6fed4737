// KelVvmUtils: JSON text conversion, system properties, trimming and free disk space.
#include "KelVvmUtils.h"

#include "tpprefs.h"

#include <stdexcept>
#include <sys/statfs.h>

namespace
{
const JSchemaFragment simpleSchema("{\"type\":[\"object\",\"array\"]}");
}

std::string vtjsonToString(JValue& value)
{
    std::string text;
    if (!JGenerator::Stringify(value, simpleSchema, text))
        throw std::runtime_error("JSON toString exception");
    return text;
}

JValue vtjsonParse(const std::string& text)
{
    JDomParser parser;
    if (!parser.parse(text, simpleSchema))
        throw std::runtime_error("JSON parse exception");
    return parser.getDom();
}

bool getTamoPrefSystemValue(const char* key, std::string& out)
{
    char* value = nullptr;
    if (TPSystemCopyStringValue(key, &value) != TP_ERR_NONE || !value) {
        TPFreeString(value);
        return false;
    }
    out = value;
    TPFreeString(value);
    return true;
}

std::string trimWhitespace(const std::string& text, const std::string& set)
{
    size_t first = text.find_first_not_of(set);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

int64_t getFreeSpace(const std::string& path)
{
    struct statfs info;
    if (statfs(path.c_str(), &info) != 0)
        throw std::runtime_error("Unable to get free space");
    return int64_t(info.f_bavail) * int64_t(info.f_bsize);
}

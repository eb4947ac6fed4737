// HostileAnswers: the costliest answer texts we know of for the response parser, each filled
// up to a given size, with what the parser must make of them. The parser test checks the
// outcome at the size bound; the benchmark times them at several sizes.
#ifndef HOSTILEANSWERS_H
#define HOSTILEANSWERS_H

#include "KelVvmResponseParser.h"

#include <string>
#include <vector>

struct HostileAnswer {
    const char* name;
    std::string text;
    // Type of the result, and for a bad answer the reason logged.
    int type;
    const char* reason;
};

namespace hostile
{

inline const std::string& open()
{
    static const std::string text = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/"
                                    "soap/envelope/\"><soapenv:Body>";
    return text;
}

// `head`, then `unit` as many times as fits in `size` bytes with `tail`.
inline std::string fill(const std::string& head, const std::string& unit, const std::string& tail,
                        size_t size)
{
    std::string text = head;
    size_t room = size > head.size() + tail.size() ? size - head.size() - tail.size() : 0;
    text.reserve(size);
    for (size_t i = 0; i + unit.size() <= room; i += unit.size())
        text += unit;
    return text + tail;
}

// `count` attributes, each of its own name.
inline std::string attributes(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; i++)
        text += " a" + std::to_string(i) + "=\"v\"";
    return text;
}

// `count` namespace declarations of prefixes `prefix`0, `prefix`1...
inline std::string declarations(const std::string& prefix, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; i++)
        text += " xmlns:" + prefix + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
    return text;
}

inline std::vector<HostileAnswer> answers(size_t size)
{
    const std::string body = open();
    const std::string close = "</soapenv:Body></soapenv:Envelope>";
    const std::string listHead = body + "<getAllCallOptiResponse><out>";
    const std::string listTail = "</out></getAllCallOptiResponse>" + close;
    const std::string profileHead = body + "<getUserProfileResponse><out>";
    const std::string profileTail = "</out></getUserProfileResponse>" + close;
    const size_t depth = KelVvmResponseParser::s_maxDepth;
    const size_t perElement = KelVvmResponseParser::s_maxAttributes;

    // The envelope declares one namespace; two elements declare the rest that may be in scope.
    const size_t inScope = KelVvmResponseParser::s_maxNamespaces - 1;
    const std::string namespaces = declarations("n", inScope / 2);
    const std::string moreNamespaces = declarations("m", inScope - inScope / 2);
    std::string nested;
    for (size_t i = 0; i + 4 < depth; i++)
        nested += "<d>";
    for (size_t i = 0; i + 4 < depth; i++)
        nested += "</d>";
    const std::string longName(50000, 'n');

    return {
        // Thousands of attributes on one element: refused before the library sees them.
        {"attributes on one element",
         fill(body + "<subscribeResponse", " a=\"\"", "/>" + close, size), RESPONSE_BAD,
         "Too many attributes"},
        {"distinct attributes on one element",
         body + "<subscribeResponse" + attributes(size / 12) + "/>" + close, RESPONSE_BAD,
         "Too many attributes"},
        // As many attributes as allowed on every element.
        {"attributes at the bound on every element",
         fill(body + "<subscribeResponse><out>OK</out>", "<e" + attributes(perElement) + "/>",
              "</subscribeResponse>" + close, size),
         RESPONSE_OK, ""},
        {"nesting", fill(body + "<subscribeResponse>", "<a>", "", size), RESPONSE_BAD,
         "Answer nested too deeply"},
        {"nesting at the bound, repeated",
         fill(profileHead + "<userId>u</userId>", nested, profileTail, size), RESPONSE_USER_PROFILE,
         ""},
        {"entities in one field", fill(profileHead + "<userId>", "&amp;&#x10FFFF;", "", size),
         RESPONSE_BAD, "Text too long"},
        {"entities in many fields",
         fill(profileHead, "<userId>" + fill("", "&lt;&#65;", "", 60000) + "</userId>", profileTail,
              size),
         RESPONSE_USER_PROFILE, ""},
        {"one CDATA section",
         fill(profileHead + "<userId><![CDATA[", "x", "]]></userId>" + profileTail, size),
         RESPONSE_BAD, "Text too long"},
        {"long names",
         fill(body + "<subscribeResponse>", "<" + longName + "/>", "</subscribeResponse>" + close,
              size),
         RESPONSE_OK, ""},
        {"long distinct names",
         [&] {
             std::string text = body + "<subscribeResponse>";
             for (size_t i = 0; text.size() + 50100 < size; i++)
                 text += "<n" + std::to_string(i) + longName.substr(0, 49990) + "/>";
             return text;
         }() +
             "</subscribeResponse>" + close,
         RESPONSE_OK, ""},
        {"namespaces in scope",
         fill(body + "<subscribeResponse>", "<a" + namespaces + ">", "", size), RESPONSE_BAD,
         "Too many namespaces"},
        {"namespaces at the bound, looked up on every element",
         fill(body + "<subscribeResponse" + namespaces + "><out>OK</out><f" + moreNamespaces + ">",
              "<e/><n0:e/>", "</f></subscribeResponse>" + close, size),
         RESPONSE_OK, ""},
        {"tiny calls", fill(listHead, "<Call/>", listTail, size), RESPONSE_BAD,
         "Invalid response: too many calls"},
        {"tiny elements", fill(body + "<subscribeResponse/>", "<a/>", close, size), RESPONSE_OK,
         ""},
        {"comments", fill(listHead, "<!---->", listTail, size), RESPONSE_BAD,
         "Invalid response: Call missing"},
        {"blanks",
         fill(body + "<subscribeResponse><out>OK</out>", "<a> </a>", "</subscribeResponse>" + close,
              size),
         RESPONSE_OK, ""},
        // The library must not read on after a fatal error, where nothing is checked: here
        // it would meet thousands of namespaces in scope, looked up by every element.
        {"namespaces after a fatal error",
         fill(
             body + "<subscribeResponse></x>" +
                 [&] {
                     std::string levels;
                     for (size_t i = 0; i < 200; i++)
                         levels += "<a" + declarations("n", perElement) + ">";
                     return levels;
                 }(),
             "<e/>", "", size),
         RESPONSE_BAD, "XML doc allocation failed"},
        {"unclosed elements", fill(body + "<subscribeResponse>", "<a></b>", "", size), RESPONSE_BAD,
         "XML doc allocation failed"},
    };
}

} // namespace hostile

#endif

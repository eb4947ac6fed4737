// Fuzz target: kelwisprd's readers of what a hotspot sends, the WISPr text parser, the element
// reader and the URL splitter. The input is one text; it is read as a whole page, as a URL and,
// split at its first newline into an element name and a line, by the element reader.
#include "WISPrService.h"
#include "WISPrSettings.h"
#include "csdebug.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
// Every line is formatted, as at the daemon's chattiest level, and dropped.
void dropLine(int, const char*, void*) {}

bool startsWithScheme(const char* text)
{
    return strncasecmp(text, "http://", 7) == 0 || strncasecmp(text, "https://", 8) == 0;
}

// A host is a scheme and a non-empty name, nothing after it; a path starts with "/" and holds
// no query.
void checkSplit(const char* host, const char* path)
{
    if (!host || !path || !startsWithScheme(host) || path[0] != '/' || std::strchr(path, '?'))
        std::abort();
    const char* name = std::strstr(host, "://") + 3;
    if (*name == '\0' || std::strpbrk(name, "/?"))
        std::abort();
}

void checkUrl(const std::string& text)
{
    char* host = nullptr;
    char* path = nullptr;
    bool split = WISPrParseURL(text.c_str(), &host, &path);
    if (split != (host != nullptr) || split != (path != nullptr))
        std::abort();
    if (split) {
        checkSplit(host, path);
        if (!strcasestr(text.c_str(), host) ||
            (std::strcmp(path, "/") != 0 && !std::strstr(text.c_str(), path)))
            std::abort();
    }
    free(host);
    free(path);
}

void checkElement(const std::string& text)
{
    size_t newline = text.find('\n');
    std::string name = text.substr(0, newline);
    std::string line = newline == std::string::npos ? "" : text.substr(newline + 1);
    char* content = WISPrGetNodeContent(line.c_str(), name.c_str());
    if (content && content[0] == '\0')
        std::abort();
    free(content);
}

void checkPage(const std::string& text)
{
    WISPrAuthInfo record;
    std::memset(&record, 0, sizeof record);
    WISPrParseHotspotData(&record, text.c_str());
    // Each endpoint is either unknown or split whole.
    if ((record.pLoginHost != nullptr) != (record.pLoginPath != nullptr) ||
        (record.pLogoffHost != nullptr) != (record.pLogoffPath != nullptr) ||
        (record.pLoginResultHost != nullptr) != (record.pLoginResultPath != nullptr))
        std::abort();
    if (record.pLoginHost)
        checkSplit(record.pLoginHost, record.pLoginPath);
    if (record.pLogoffHost)
        checkSplit(record.pLogoffHost, record.pLogoffPath);
    if (record.pLoginResultHost)
        checkSplit(record.pLoginResultHost, record.pLoginResultPath);
    WISPrReinitAuthInfo(&record);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        DebugSetProperty(kDebugPropertyMinimumLevel, kDebugLevelChatty);
        DebugSetCapture(dropLine, nullptr);
        // No connectivity-check host: a "200 OK" line fails its check at once, with no exchange.
        WISPrLoadSettings("/nonexistent/kelwisprd.conf");
        return true;
    }();
    (void)ready;
    // The daemon's texts are C strings: a NUL ends them.
    std::string text(reinterpret_cast<const char*>(data),
                     strnlen(reinterpret_cast<const char*>(data), size));
    checkPage(text);
    checkUrl(text);
    checkElement(text);
    return 0;
}

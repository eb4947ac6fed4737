/* WISPrParse: the login record and the line-based reading of WISPr texts. */
#define _GNU_SOURCE
#include "WISPrInternal.h"

#include "csdebug.h"

#include <errno.h>
#include <glib.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

WISPrAuthInfo* gpAuthInfo;

void WISPrReplaceString(char** ppField, char* pValue)
{
    free(*ppField);
    *ppField = pValue;
}

void WISPrReinitAuthInfo(WISPrAuthInfo* pAuthInfo)
{
    if (!pAuthInfo)
        return;
    char** strings[] = {
        &pAuthInfo->pInterface,        &pAuthInfo->pSsid,
        &pAuthInfo->pSessionId,        &pAuthInfo->pLoginHost,
        &pAuthInfo->pLoginPath,        &pAuthInfo->pLoginQuery,
        &pAuthInfo->pUsername,         &pAuthInfo->pPassword,
        &pAuthInfo->pWanIpAddress,     &pAuthInfo->pImsi,
        &pAuthInfo->pLoginResultHost,  &pAuthInfo->pLoginResultPath,
        &pAuthInfo->pLoginResultQuery, &pAuthInfo->pLogoffHost,
        &pAuthInfo->pLogoffPath,
    };
    for (size_t i = 0; i < sizeof(strings) / sizeof(strings[0]); i++)
        free(*strings[i]);
    memset(pAuthInfo, 0, sizeof(*pAuthInfo));
}

/* The first occurrence of `pNeedle` within the `len` bytes at `pText`, letters compared
 * ignoring case or exactly, or NULL. The text needs no terminator: lines are views into the
 * whole reply. */
const char* WISPrFindInSpan(const char* pText, size_t len, const char* pNeedle, bool ignoreCase)
{
    size_t needleLen = strlen(pNeedle);
    for (size_t i = 0; needleLen <= len && i <= len - needleLen; i++) {
        if (ignoreCase ? strncasecmp(pText + i, pNeedle, needleLen) == 0
                       : memcmp(pText + i, pNeedle, needleLen) == 0)
            return pText + i;
    }
    return NULL;
}

/* Appends code point `cp` as UTF-8; false for one that is not a character. */
static bool putUtf8(char** ppOut, unsigned long cp)
{
    unsigned char* pOut = (unsigned char*)*ppOut;
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    if (cp < 0x80) {
        *pOut++ = (unsigned char)cp;
    } else if (cp < 0x800) {
        *pOut++ = (unsigned char)(0xC0 | (cp >> 6));
        *pOut++ = (unsigned char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *pOut++ = (unsigned char)(0xE0 | (cp >> 12));
        *pOut++ = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        *pOut++ = (unsigned char)(0x80 | (cp & 0x3F));
    } else {
        *pOut++ = (unsigned char)(0xF0 | (cp >> 18));
        *pOut++ = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
        *pOut++ = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        *pOut++ = (unsigned char)(0x80 | (cp & 0x3F));
    }
    *ppOut = (char*)pOut;
    return true;
}

/* Decodes, in place, the five predefined XML entities and numeric character references:
 * gateways write "&" in a URL as "&amp;", as XML requires. Anything else that starts with "&"
 * stays as it stands. A reference is never shorter than its UTF-8 form, so the text only
 * shrinks. */
static void decodeXmlEntities(char* pText)
{
    static const struct {
        const char* pName;
        char c;
    } kEntities[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    char* pOut = pText;
    for (const char* pIn = pText; *pIn;) {
        if (*pIn != '&') {
            *pOut++ = *pIn++;
            continue;
        }
        bool decoded = false;
        for (size_t i = 0; !decoded && i < sizeof(kEntities) / sizeof(kEntities[0]); i++) {
            size_t nameLen = strlen(kEntities[i].pName);
            if (strncmp(pIn + 1, kEntities[i].pName, nameLen) == 0) {
                *pOut++ = kEntities[i].c;
                pIn += 1 + nameLen;
                decoded = true;
            }
        }
        if (!decoded && pIn[1] == '#') {
            bool hex = pIn[2] == 'x' || pIn[2] == 'X';
            const char* pDigits = pIn + (hex ? 3 : 2);
            size_t digits = strspn(pDigits, hex ? "0123456789abcdefABCDEF" : "0123456789");
            char* pAfter = pOut;
            if (digits > 0 && digits <= 8 && pDigits[digits] == ';' &&
                putUtf8(&pAfter, strtoul(pDigits, NULL, hex ? 16 : 10))) {
                pOut = pAfter;
                pIn = pDigits + digits + 1;
                decoded = true;
            }
        }
        if (!decoded)
            *pOut++ = *pIn++;
    }
    *pOut = '\0';
}

/* WISPrGetNodeContent on the `len` bytes of a line at `pLine`. */
char* WISPrNodeContentInSpan(const char* pLine, size_t len, const char* pName)
{
    g_autofree char* pOpenTag = g_strdup_printf("<%s>", pName);
    g_autofree char* pCloseTag = g_strdup_printf("</%s>", pName);
    const char* pOpen = WISPrFindInSpan(pLine, len, pOpenTag, true);
    const char* pClose = WISPrFindInSpan(pLine, len, pCloseTag, true);
    if (!pOpen || !pClose)
        return NULL;
    const char* pContent = pOpen + strlen(pOpenTag);
    if (pClose < pContent)
        return NULL;
    size_t contentLen = (size_t)(pClose - pContent);
    if (!CHECK_AS(contentLen, "len"))
        return NULL;
    char* pCopy = strndup(pContent, contentLen);
    if (!pCopy)
        abort();
    decodeXmlEntities(pCopy);
    return pCopy;
}

char* WISPrGetNodeContent(const char* pLine, const char* pName)
{
    if (!pLine || !pName)
        return NULL;
    return WISPrNodeContentInSpan(pLine, strlen(pLine), pName);
}

bool WISPrParseURL(const char* pURL, char** ppHost, char** ppPath)
{
    if (!CHECK(ppHost && ppPath))
        return false;
    /* The earliest scheme wins: a login URL often carries another URL in its query. */
    const char* pHttp = pURL ? strcasestr(pURL, "http://") : NULL;
    const char* pHttps = pURL ? strcasestr(pURL, "https://") : NULL;
    const char* pScheme = pHttp;
    size_t schemeLen = strlen("http://");
    if (pHttps && (!pHttp || pHttps < pHttp)) {
        pScheme = pHttps;
        schemeLen = strlen("https://");
    }
    if (!CHECK_AS(pScheme, "pURL"))
        return false;
    const char* pHost = pScheme + schemeLen;
    /* A query may follow the host directly ("http://gw?x"): it ends the host too. */
    size_t hostLen = strcspn(pHost, "/?");
    if (!CHECK_AS(hostLen > 0, "(strlen(pHost) > 0)"))
        return false;
    const char* pSlash = pHost[hostLen] == '/' ? pHost + hostLen : NULL;
    char* pPath = pSlash ? strndup(pSlash, strcspn(pSlash, "?")) : strdup("/");
    char* pHostPart = strndup(pScheme, schemeLen + hostLen);
    if (!pPath || !pHostPart)
        abort();
    DebugPrintF(kDebugLevelTrace, "URL path: %s\n", pPath);
    DebugPrintF(kDebugLevelTrace, "URL host: %s\n", pHostPart);
    WISPrReplaceString(ppHost, pHostPart);
    WISPrReplaceString(ppPath, pPath);
    return true;
}

/* The text after the first "?" of a URL, or NULL when it has none. */
static char* copyQuery(const char* pURL)
{
    const char* pMark = strchr(pURL, '?');
    char* pQuery = pMark ? strdup(pMark + 1) : NULL;
    if (pMark && !pQuery)
        abort();
    return pQuery;
}

/* The next line of a text as a view (without its "\n") and its length, moving *ppCursor past
 * it; NULL after the last line. Walking in place costs no copy per line, however many lines a
 * peer sends. */
const char* WISPrNextLine(const char** ppCursor, size_t* pLen)
{
    const char* pLine = *ppCursor;
    if (!pLine)
        return NULL;
    const char* pEnd = strchr(pLine, '\n');
    *pLen = pEnd ? (size_t)(pEnd - pLine) : strlen(pLine);
    *ppCursor = pEnd ? pEnd + 1 : NULL;
    return pLine;
}

/* A WISPr number (ResponseCode, MessageType) into *pValue; false, logged, for text that is not
 * a decimal int between optional blanks: "50abc" is no code, and one beyond the int range must
 * not wrap into a meaningful one. */
static bool parseCode(const char* pText, int* pValue)
{
    errno = 0;
    char* pEnd = NULL;
    long long value = strtoll(pText, &pEnd, 10);
    bool valid = pEnd != pText && errno == 0 && value >= INT_MIN && value <= INT_MAX &&
                 pEnd[strspn(pEnd, " \t\r")] == '\0';
    if (!CHECK_AS(valid, "(code within int range)"))
        return false;
    *pValue = (int)value;
    return true;
}

/* Whether a decoded URL may stand in a request line: a control character would start header
 * lines of its own (decoded references make one), a blank or a byte above 0x7e would break the
 * request line. A refused URL is logged escaped. */
static bool isSafeUrl(const char* pURL)
{
    for (const unsigned char* p = (const unsigned char*)pURL; *p; p++) {
        if (*p <= ' ' || *p > '~') {
            g_autofree char* pEscaped = g_strescape(pURL, NULL);
            DebugPrintF(kDebugLevelError,
                        "Refused URL with a control character, a blank or a non-ASCII byte: %s\n",
                        pEscaped);
            return false;
        }
    }
    return true;
}

/* Splits a login or results URL into its host, path and query, each replacing the field's
 * earlier value; a refused URL clears all three, so that nothing older is used in its place. */
static void takeUrlWithQuery(const char* pURL, char** ppHost, char** ppPath, char** ppQuery,
                             const char* pQueryLabel /* "Login" or "Login result" */)
{
    if (!isSafeUrl(pURL)) {
        g_clear_pointer(ppHost, free);
        g_clear_pointer(ppPath, free);
        g_clear_pointer(ppQuery, free);
        return;
    }
    WISPrReplaceString(ppQuery, copyQuery(pURL));
    if (*ppQuery)
        DebugPrintF(kDebugLevelTrace, "%s query: %s\n", pQueryLabel, *ppQuery);
    else
        DebugPrintF(kDebugLevelError, "Failed to parse l%s query\n", pQueryLabel + 1);
    WISPrParseURL(pURL, ppHost, ppPath);
}

/* The connectivity verdict of one parsed text: the check runs at most once per text, however
 * many status lines it holds. */
typedef enum { kVerdictNotRun, kVerdictPassed, kVerdictFailed } ConnectivityVerdict;

typedef struct {
    ConnectivityVerdict verdict;
    bool deferCheck;    /* leave the check to the caller, as a step of its own */
    bool checkWanted;   /* a status line asked for the check */
    bool statusDecides; /* no ResponseCode line came after the last status line */
} ParseState;

static void parseLine(WISPrAuthInfo* pAuthInfo, const char* pLine, size_t len, ParseState* pState)
{
    char* pContent = NULL;
    if (WISPrFindInSpan(pLine, len, "HTTP/1.0 200 OK", false) ||
        WISPrFindInSpan(pLine, len, "HTTP/1.1 200 OK", false)) {
        DebugPrintF(kDebugLevelInfo,
                    "Received HTTP 200 OK in response! Performing connectivity check..\n");
        pState->checkWanted = true;
        pState->statusDecides = true;
        if (pState->deferCheck)
            return;
        if (pState->verdict == kVerdictNotRun)
            pState->verdict = WISPrCheckConnectivity(pAuthInfo) ? kVerdictPassed : kVerdictFailed;
        pAuthInfo->responseCode = pState->verdict == kVerdictPassed ? kWISPrResponseCodeSucceed
                                                                    : kWISPrResponseCodeRejected;
    } else if (WISPrFindInSpan(pLine, len, "<ResponseCode>", true)) {
        if ((pContent = WISPrNodeContentInSpan(pLine, len, "ResponseCode")) &&
            parseCode(pContent, &pAuthInfo->responseCode)) {
            DebugPrintF(kDebugLevelInfo, "Response code: %d\n", pAuthInfo->responseCode);
            pState->statusDecides = false;
        }
    } else if (WISPrFindInSpan(pLine, len, "<MessageType>", true)) {
        if ((pContent = WISPrNodeContentInSpan(pLine, len, "MessageType")) &&
            parseCode(pContent, &pAuthInfo->messageType))
            DebugPrintF(kDebugLevelInfo, "Message type: %d\n", pAuthInfo->messageType);
    } else if (WISPrFindInSpan(pLine, len, "<LoginURL>", true)) {
        if ((pContent = WISPrNodeContentInSpan(pLine, len, "LoginURL")))
            takeUrlWithQuery(pContent, &pAuthInfo->pLoginHost, &pAuthInfo->pLoginPath,
                             &pAuthInfo->pLoginQuery, "Login");
    } else if (WISPrFindInSpan(pLine, len, "<LogoffURL>", true)) {
        if ((pContent = WISPrNodeContentInSpan(pLine, len, "LogoffURL"))) {
            if (isSafeUrl(pContent)) {
                WISPrParseURL(pContent, &pAuthInfo->pLogoffHost, &pAuthInfo->pLogoffPath);
            } else {
                g_clear_pointer(&pAuthInfo->pLogoffHost, free);
                g_clear_pointer(&pAuthInfo->pLogoffPath, free);
            }
        }
    } else if (WISPrFindInSpan(pLine, len, "<LoginResultsURL>", true)) {
        if ((pContent = WISPrNodeContentInSpan(pLine, len, "LoginResultsURL")))
            takeUrlWithQuery(pContent, &pAuthInfo->pLoginResultHost, &pAuthInfo->pLoginResultPath,
                             &pAuthInfo->pLoginResultQuery, "Login result");
    } else if (WISPrFindInSpan(pLine, len, "SessionId", true)) {
        /* The session id travels in an HTML comment: "<!-- ... SessionId=abc -->". */
        const char* pEquals = memchr(pLine, '=', len);
        const char* pEnd =
            pEquals ? WISPrFindInSpan(pEquals, len - (size_t)(pEquals - pLine), "-->", false)
                    : NULL;
        if (pEnd) {
            char* pSessionId = strndup(pEquals + 1, (size_t)(pEnd - pEquals - 1));
            if (!pSessionId)
                abort();
            WISPrReplaceString(&pAuthInfo->pSessionId, pSessionId);
        }
    }
    free(pContent);
}

/* The longest text a log line shows of what a peer sent. */
#define kLoggedTextLimit ((size_t)64 * 1024)

static void parseText(WISPrAuthInfo* pAuthInfo, const char* pData, ParseState* pState)
{
    size_t len = strlen(pData);
    if (len > kLoggedTextLimit)
        DebugPrintF(kDebugLevelChatty, "%s(): XML Data %.*s... (%zu more bytes)\n",
                    "WISPrParseHotspotData", (int)kLoggedTextLimit, pData, len - kLoggedTextLimit);
    else
        DebugPrintF(kDebugLevelChatty, "%s(): XML Data %s\n", "WISPrParseHotspotData", pData);
    DebugHexDump(kDebugLevelChatty, pData, len);
    const char* pCursor = pData;
    for (const char* pLine; (pLine = WISPrNextLine(&pCursor, &len));)
        parseLine(pAuthInfo, pLine, len, pState);
}

void WISPrParseHotspotData(WISPrAuthInfo* pAuthInfo, const char* pData)
{
    if (!CHECK(pAuthInfo) || !CHECK(pData))
        return;
    ParseState state = {.verdict = kVerdictNotRun};
    parseText(pAuthInfo, pData, &state);
}

WISPrPendingCheck WISPrParseReply(WISPrAuthInfo* pAuthInfo, const char* pData)
{
    if (!CHECK(pAuthInfo) || !CHECK(pData))
        return kWISPrCheckNone;
    ParseState state = {.verdict = kVerdictNotRun, .deferCheck = true};
    parseText(pAuthInfo, pData, &state);
    if (!state.checkWanted)
        return kWISPrCheckNone;
    return state.statusDecides ? kWISPrCheckDecides : kWISPrCheckOverridden;
}

void WISPrRunPendingCheck(WISPrAuthInfo* pAuthInfo, WISPrPendingCheck check)
{
    if (check == kWISPrCheckNone)
        return;
    bool passed = WISPrCheckConnectivity(pAuthInfo);
    if (check == kWISPrCheckDecides)
        pAuthInfo->responseCode = passed ? kWISPrResponseCodeSucceed : kWISPrResponseCodeRejected;
}

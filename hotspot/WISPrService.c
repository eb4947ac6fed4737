/* WISPrService: the login record, WISPr text parsing, connectivity check and hotspot account. */
#define _GNU_SOURCE
#include "WISPrService.h"

#include "CarrierHotspotHTTP.h"
#include "WISPrSettings.h"
#include "csdebug.h"
#include "tpprefs.h"

#include <errno.h>
#include <glib.h>
#include <json-c/json.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

/* A logged check named by its expression as written, or by `name`. */
#define CHECK_AS(expr, name)                                                                       \
    DebugPrintAssert((expr) ? true : false, (name), 0, "WISPrService.c", __LINE__, __func__)
#define CHECK(expr) CHECK_AS(expr, #expr)

WISPrAuthInfo* gpAuthInfo;

static int gConnectTimeoutMs = 5000;
static int gReceiveTimeoutMs = 15000;

void WISPrSetExchangeTimeoutsForTest(int connectMs, int receiveMs)
{
    gConnectTimeoutMs = connectMs;
    gReceiveTimeoutMs = receiveMs;
}

static void replaceString(char** ppField, char* pValue)
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
static const char* findInSpan(const char* pText, size_t len, const char* pNeedle, bool ignoreCase)
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
static char* nodeContentInSpan(const char* pLine, size_t len, const char* pName)
{
    g_autofree char* pOpenTag = g_strdup_printf("<%s>", pName);
    g_autofree char* pCloseTag = g_strdup_printf("</%s>", pName);
    const char* pOpen = findInSpan(pLine, len, pOpenTag, true);
    const char* pClose = findInSpan(pLine, len, pCloseTag, true);
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
    return nodeContentInSpan(pLine, strlen(pLine), pName);
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
    replaceString(ppHost, pHostPart);
    replaceString(ppPath, pPath);
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
static const char* nextLine(const char** ppCursor, size_t* pLen)
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
 * a decimal int: a code beyond the int range must not wrap into a meaningful one. */
static bool parseCode(const char* pText, int* pValue)
{
    errno = 0;
    char* pEnd = NULL;
    long long value = strtoll(pText, &pEnd, 10);
    bool valid = pEnd != pText && errno == 0 && value >= INT_MIN && value <= INT_MAX;
    if (!CHECK_AS(valid, "(code within int range)"))
        return false;
    *pValue = (int)value;
    return true;
}

/* The connectivity verdict of one parsed text: the check runs at most once per text, however
 * many status lines it holds. */
typedef enum { kVerdictNotRun, kVerdictPassed, kVerdictFailed } ConnectivityVerdict;

static void parseLine(WISPrAuthInfo* pAuthInfo, const char* pLine, size_t len,
                      ConnectivityVerdict* pVerdict)
{
    char* pContent = NULL;
    if (findInSpan(pLine, len, "HTTP/1.0 200 OK", false) ||
        findInSpan(pLine, len, "HTTP/1.1 200 OK", false)) {
        DebugPrintF(kDebugLevelInfo,
                    "Received HTTP 200 OK in response! Performing connectivity check..\n");
        if (*pVerdict == kVerdictNotRun)
            *pVerdict = WISPrCheckConnectivity(pAuthInfo) ? kVerdictPassed : kVerdictFailed;
        pAuthInfo->responseCode =
            *pVerdict == kVerdictPassed ? kWISPrResponseCodeSucceed : kWISPrResponseCodeRejected;
    } else if (findInSpan(pLine, len, "<ResponseCode>", true)) {
        if ((pContent = nodeContentInSpan(pLine, len, "ResponseCode")) &&
            parseCode(pContent, &pAuthInfo->responseCode))
            DebugPrintF(kDebugLevelInfo, "Response code: %d\n", pAuthInfo->responseCode);
    } else if (findInSpan(pLine, len, "<MessageType>", true)) {
        if ((pContent = nodeContentInSpan(pLine, len, "MessageType")) &&
            parseCode(pContent, &pAuthInfo->messageType))
            DebugPrintF(kDebugLevelInfo, "Message type: %d\n", pAuthInfo->messageType);
    } else if (findInSpan(pLine, len, "<LoginURL>", true)) {
        if ((pContent = nodeContentInSpan(pLine, len, "LoginURL"))) {
            replaceString(&pAuthInfo->pLoginQuery, copyQuery(pContent));
            if (pAuthInfo->pLoginQuery)
                DebugPrintF(kDebugLevelTrace, "Login query: %s\n", pAuthInfo->pLoginQuery);
            else
                DebugPrintF(kDebugLevelError, "Failed to parse login query\n");
            WISPrParseURL(pContent, &pAuthInfo->pLoginHost, &pAuthInfo->pLoginPath);
        }
    } else if (findInSpan(pLine, len, "<LogoffURL>", true)) {
        if ((pContent = nodeContentInSpan(pLine, len, "LogoffURL")))
            WISPrParseURL(pContent, &pAuthInfo->pLogoffHost, &pAuthInfo->pLogoffPath);
    } else if (findInSpan(pLine, len, "<LoginResultsURL>", true)) {
        if ((pContent = nodeContentInSpan(pLine, len, "LoginResultsURL"))) {
            replaceString(&pAuthInfo->pLoginResultQuery, copyQuery(pContent));
            if (pAuthInfo->pLoginResultQuery)
                DebugPrintF(kDebugLevelTrace, "Login result query: %s\n",
                            pAuthInfo->pLoginResultQuery);
            else
                DebugPrintF(kDebugLevelError, "Failed to parse login result query\n");
            WISPrParseURL(pContent, &pAuthInfo->pLoginResultHost, &pAuthInfo->pLoginResultPath);
        }
    } else if (findInSpan(pLine, len, "SessionId", true)) {
        /* The session id travels in an HTML comment: "<!-- ... SessionId=abc -->". */
        const char* pEquals = memchr(pLine, '=', len);
        const char* pEnd =
            pEquals ? findInSpan(pEquals, len - (size_t)(pEquals - pLine), "-->", false) : NULL;
        if (pEnd) {
            char* pSessionId = strndup(pEquals + 1, (size_t)(pEnd - pEquals - 1));
            if (!pSessionId)
                abort();
            replaceString(&pAuthInfo->pSessionId, pSessionId);
        }
    }
    free(pContent);
}

void WISPrParseHotspotData(WISPrAuthInfo* pAuthInfo, const char* pData)
{
    if (!CHECK(pAuthInfo) || !CHECK(pData))
        return;
    DebugPrintF(kDebugLevelChatty, "%s(): XML Data %s\n", __func__, pData);
    DebugHexDump(kDebugLevelChatty, pData, strlen(pData));
    ConnectivityVerdict verdict = kVerdictNotRun;
    const char* pCursor = pData;
    size_t len = 0;
    for (const char* pLine; (pLine = nextLine(&pCursor, &len));)
        parseLine(pAuthInfo, pLine, len, &verdict);
}

/* One blocking exchange with a carrier endpoint: the reply text (free()), or NULL. */
static char* exchange(const char* pInterface, const char* pTarget, const char* pRequest)
{
    CarrierHotspotSession* pSession = CarrierHotspot_HTTPInit(pInterface);
    char* pReply = NULL;
    size_t len = 0;
    if (pSession && CarrierHotspot_HTTPConnect(pSession, pTarget, gConnectTimeoutMs) &&
        CarrierHotspot_HTTPRequest(pSession, pRequest))
        CarrierHotspot_HTTPReceive(pSession, &pReply, &len, gReceiveTimeoutMs);
    CarrierHotspot_HTTPDestroy(&pSession);
    return pReply;
}

/* Walks the reply's lines: the expected answer must come before any status line that is not
 * "200 OK", so that a captive portal's redirect carrying the word does not pass. */
static bool judgeConnectivityReply(const char* pReply)
{
    const char* pCursor = pReply;
    size_t len = 0;
    for (const char* pLine; (pLine = nextLine(&pCursor, &len));) {
        if ((findInSpan(pLine, len, "HTTP/1.0", false) ||
             findInSpan(pLine, len, "HTTP/1.1", false)) &&
            !findInSpan(pLine, len, "200 OK", false)) {
            DebugPrintF(kDebugLevelError,
                        "Not a HTTP 200 OK response. Connectivity check failed\n");
            return false;
        }
        if (findInSpan(pLine, len, kWISPrConnectivityCheckAnswer, false)) {
            DebugPrintF(kDebugLevelInfo, "Found expected response. Connectivity check succeeded\n");
            return true;
        }
    }
    DebugPrintF(kDebugLevelError, "No expected response. Connectivity check failed\n");
    return false;
}

bool WISPrCheckConnectivity(const WISPrAuthInfo* pAuthInfo)
{
    const char* pConnectivityCheckHost = WISPrGetConnectivityCheckHost();
    if (!CHECK(pConnectivityCheckHost))
        return false;
    g_autofree char* pTarget = NULL;
    g_autofree char* pIgnoredPath = NULL;
    if (!WISPrParseURL(pConnectivityCheckHost, &pTarget, &pIgnoredPath))
        return false;
    /* The Host line names the host and port, without the scheme. */
    const char* pHostName = strstr(pTarget, "://") + 3;
    g_autofree char* pRequest =
        g_strdup_printf("GET " kWISPrConnectivityCheckPath " HTTP/1.0\r\n" kWISPrUserAgentLine
                        "Host: %s\r\nAccept: */*\r\n\r\n",
                        pHostName);
    char* pReply = exchange(pAuthInfo ? pAuthInfo->pInterface : NULL, pTarget, pRequest);
    if (!CHECK(pReply))
        return false;
    bool passed = judgeConnectivityReply(pReply);
    free(pReply);
    return passed;
}

bool WISPrCreateKelAccount(void)
{
    DebugPrintF(kDebugLevelInfo, "No saved account. Creating KEL account...\n");
    if (!CHECK(gpAuthInfo))
        return false;
    if (!CHECK_AS(gpAuthInfo->pWanIpAddress && *gpAuthInfo->pWanIpAddress,
                  "gpAuthInfo->pWanIpAddress"))
        return false;
    const char* pAccountCreationHost = WISPrGetAccountCreationHost();
    if (!CHECK(pAccountCreationHost))
        return false;
    g_autofree char* pTarget = NULL;
    g_autofree char* pIgnoredPath = NULL;
    if (!WISPrParseURL(pAccountCreationHost, &pTarget, &pIgnoredPath))
        return false;
    /* Bound to the WAN address, so that the carrier sees the request come from its own mobile
     * network and knows the subscriber. */
    char* pReply = exchange(gpAuthInfo->pWanIpAddress, pTarget,
                            "GET " kWISPrAccountCreationPath " HTTP/1.0\r\n" kWISPrUserAgentLine
                            "Accept: application/xml\r\n\r\n");
    if (!CHECK(pReply))
        return false;

    /* Only this reply's values count: a reply with one of the two must not pair it with a
     * value left from before. */
    g_clear_pointer(&gpAuthInfo->pUsername, free);
    g_clear_pointer(&gpAuthInfo->pPassword, free);
    const char* pCursor = pReply;
    size_t len = 0;
    for (const char* pLine; (pLine = nextLine(&pCursor, &len));) {
        char* pContent = NULL;
        if (findInSpan(pLine, len, "<m_response>", true)) {
            if ((pContent = nodeContentInSpan(pLine, len, "m_response"))) {
                DebugPrintF(kDebugLevelTrace, "m_response: %s\n", pContent);
                replaceString(&gpAuthInfo->pUsername, pContent);
            }
        } else if (findInSpan(pLine, len, "<p_response>", true)) {
            if ((pContent = nodeContentInSpan(pLine, len, "p_response"))) {
                /* The text stays; the password does not reach the log. */
                DebugPrintF(kDebugLevelTrace, "p_response: %s\n", "****");
                replaceString(&gpAuthInfo->pPassword, pContent);
            }
        } else if (findInSpan(pLine, len, "<c_response>", true)) {
            if ((pContent = nodeContentInSpan(pLine, len, "c_response"))) {
                DebugPrintF(kDebugLevelTrace, "c_response: %s\n", pContent);
                free(pContent);
            }
        }
    }
    free(pReply);
    if (gpAuthInfo->pUsername && gpAuthInfo->pPassword)
        return true;
    /* Half an account is no account. */
    g_clear_pointer(&gpAuthInfo->pUsername, free);
    g_clear_pointer(&gpAuthInfo->pPassword, free);
    return false;
}

/* A heap copy of the string member `pKey` of the saved account, or NULL (checked as
 * `pCheckName`). */
static char* copyAccountMember(json_object* pJsonRoot, const char* pKey, const char* pCheckName)
{
    json_object* pMember = NULL;
    if (!CHECK_AS(json_object_object_get_ex(pJsonRoot, pKey, &pMember) &&
                      json_object_is_type(pMember, json_type_string),
                  pCheckName))
        return NULL;
    char* pCopy = strdup(json_object_get_string(pMember));
    if (!pCopy)
        abort();
    return pCopy;
}

bool WISPrGetKelAccountFromPrefs(char** ppUsername, char** ppPassword, char** ppImsi)
{
    if (!CHECK(ppUsername && ppPassword && ppImsi))
        return false;
    *ppUsername = *ppPassword = *ppImsi = NULL;

    TPAppHandle* pHandle = NULL;
    char* pValue = NULL;
    TPErr tpErr = TPAppGetHandle(kWISPrAppId, &pHandle);
    if (tpErr == TP_ERR_NONE)
        tpErr = TPAppCopyValue(pHandle, kWISPrAccountKey, &pValue);
    TPAppFreeHandle(pHandle);
    if (!CHECK((tpErr == TP_ERR_NONE)))
        return false;

    json_object* pJsonRoot = json_tokener_parse(pValue);
    TPFreeString(pValue);
    bool found = false;
    if (CHECK(pJsonRoot)) {
        char* pUsername = copyAccountMember(pJsonRoot, "username", "pJsonUsername");
        char* pPassword = copyAccountMember(pJsonRoot, "password", "pJsonPassword");
        char* pImsi = copyAccountMember(pJsonRoot, "imsi", "pJsonImsi");
        found = pUsername && pPassword && pImsi;
        if (found) {
            *ppUsername = pUsername;
            *ppPassword = pPassword;
            *ppImsi = pImsi;
        } else {
            free(pUsername);
            free(pPassword);
            free(pImsi);
        }
    }
    json_object_put(pJsonRoot);
    return found;
}

/* The saved form of an account. The JSON library escapes what needs it (a quote, a backslash,
 * a control character) and nothing else, so plain values keep the fixed layout
 * {"username":"…","password":"…","imsi":"…"}. NULL when the text cannot be made. */
static char* formatAccount(const char* pUsername, const char* pPassword, const char* pImsi)
{
    json_object* pJsonRoot = json_object_new_object();
    if (!pJsonRoot)
        return NULL;
    char* pValue = NULL;
    if (json_object_object_add(pJsonRoot, "username", json_object_new_string(pUsername)) == 0 &&
        json_object_object_add(pJsonRoot, "password", json_object_new_string(pPassword)) == 0 &&
        json_object_object_add(pJsonRoot, "imsi", json_object_new_string(pImsi)) == 0) {
        const char* pText = json_object_to_json_string_ext(
            pJsonRoot, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
        pValue = pText ? strdup(pText) : NULL;
    }
    json_object_put(pJsonRoot);
    return pValue;
}

bool WISPrSaveKelAccountToPrefs(const char* pUsername, const char* pPassword, const char* pImsi)
{
    bool complete = pUsername && *pUsername && pPassword && *pPassword && pImsi && *pImsi;
    char* pValue = complete ? formatAccount(pUsername, pPassword, pImsi) : strdup("{}");
    if (!CHECK(pValue))
        return false;

    TPAppHandle* pHandle = NULL;
    TPErr tpErr = TPAppGetHandle(kWISPrAppId, &pHandle);
    if (tpErr == TP_ERR_NONE)
        tpErr = TPAppSetValue(pHandle, kWISPrAccountKey, pValue);
    TPAppFreeHandle(pHandle);
    free(pValue);
    return CHECK((tpErr == TP_ERR_NONE));
}

/* The smart client: attempts and polls run as one timer at a time on the daemon's loop. */

#define kLoginAttemptIntervalMs 200
#define kMaxLoginAttempts 3
#define kPollIntervalMs 1000
#define kMaxPolls 5

static TSHandle* gpClientBus;
static WISPrNotifyFunc gNotify;
static int retryCount;
static int pollingCount;
static guint gTimerId;
static int gTimeScale = 1;

void WISPrClientInit(TSHandle* pHandle, WISPrNotifyFunc notify)
{
    gpClientBus = pHandle;
    gNotify = notify;
}

void WISPrSetTimeScaleForTest(int scale)
{
    gTimeScale = scale >= 1 ? scale : 1;
}

static void notify(const WISPrAuthInfo* pAuthInfo)
{
    if (gNotify)
        gNotify(pAuthInfo);
}

/* Cancels the pending timer, then arms `callback` every `ms` when one is given. */
static void WISPrSetTimeout(int ms, GSourceFunc callback, void* pData)
{
    if (gTimerId)
        g_source_remove(gTimerId);
    gTimerId = callback ? g_timeout_add((guint)ms, callback, pData) : 0;
}

/* What a timer callback returns to end itself; the timer it may have armed instead stays. */
static gboolean endTimer(void)
{
    GSource* pCurrent = g_main_current_source();
    if (pCurrent && g_source_get_id(pCurrent) == gTimerId)
        gTimerId = 0;
    return G_SOURCE_REMOVE;
}

static void freeAuthInfo(WISPrAuthInfo* pAuthInfo)
{
    WISPrReinitAuthInfo(pAuthInfo);
    free(pAuthInfo);
}

/* The JSON string at `pKey` of `pParent` (NULL when missing or not a string). */
static const char* memberText(json_object* pParent, const char* pKey)
{
    json_object* pMember = NULL;
    if (!json_object_object_get_ex(pParent, pKey, &pMember) ||
        !json_object_is_type(pMember, json_type_string))
        return NULL;
    return json_object_get_string(pMember);
}

static bool WISPrHandleConnMgrNotification(TSHandle* pHandle, TSMessage* pMessage, void* pContext)
{
    (void)pHandle;
    (void)pContext;
    if (!gpAuthInfo)
        return true;
    json_object* pJsonRoot = json_tokener_parse(TSMessageGetPayload(pMessage));
    json_object* pJsonWan = NULL;
    const char* pAddress = json_object_object_get_ex(pJsonRoot, "wan", &pJsonWan)
                               ? memberText(pJsonWan, "ipAddress")
                               : NULL;
    if (CHECK_AS(pAddress && *pAddress, "pJsonWanIpAddress->child->text")) {
        replaceString(&gpAuthInfo->pWanIpAddress, strdup(pAddress));
        if (!gpAuthInfo->pWanIpAddress)
            abort();
        DebugPrintF(kDebugLevelInfo, "WAN IP address: %s\n", gpAuthInfo->pWanIpAddress);
    }
    json_object_put(pJsonRoot);
    return true;
}

static bool WISPrHandleTelephonyNotification(TSHandle* pHandle, TSMessage* pMessage, void* pContext)
{
    (void)pHandle;
    (void)pContext;
    if (!gpAuthInfo)
        return true;
    json_object* pJsonRoot = json_tokener_parse(TSMessageGetPayload(pMessage));
    json_object* pJsonExtended = NULL;
    const char* pImsi = json_object_object_get_ex(pJsonRoot, "extended", &pJsonExtended)
                            ? memberText(pJsonExtended, "value")
                            : NULL;
    char* pCopy = CHECK_AS(pImsi && *pImsi, "pJsonImsi") ? strdup(pImsi) : NULL;
    if (pCopy) {
        replaceString(&gpAuthInfo->pImsi, pCopy);
        DebugPrintF(kDebugLevelInfo, "Obtained IMSI successfully\n");
    } else if (!gpAuthInfo->pImsi) {
        /* A saved account tied to a real IMSI then counts as another SIM's. */
        gpAuthInfo->pImsi = strdup("invalid");
        if (!gpAuthInfo->pImsi)
            abort();
    }
    json_object_put(pJsonRoot);
    return true;
}

/* Fills the record's user name and password: the saved account when it belongs to this SIM,
 * otherwise a new one from the carrier. */
static void chooseAccount(WISPrAuthInfo* pAuthInfo)
{
    g_clear_pointer(&pAuthInfo->pUsername, free);
    g_clear_pointer(&pAuthInfo->pPassword, free);
    char* pUsername = NULL;
    char* pPassword = NULL;
    char* pImsi = NULL;
    if (WISPrGetKelAccountFromPrefs(&pUsername, &pPassword, &pImsi)) {
        if (strcmp(pImsi, pAuthInfo->pImsi) != 0) {
            DebugPrintF(kDebugLevelInfo, "Detected SIM swap, removing saved credentials\n");
            WISPrSaveKelAccountToPrefs(NULL, NULL, NULL);
            free(pUsername);
            free(pPassword);
        } else {
            DebugPrintF(kDebugLevelInfo, "Logging in with saved account\n");
            pAuthInfo->pUsername = pUsername;
            pAuthInfo->pPassword = pPassword;
        }
        free(pImsi);
    }
    if (!pAuthInfo->pUsername || !pAuthInfo->pPassword)
        WISPrCreateKelAccount();
}

/* One login POST and its reply; true when the gateway (or the connectivity check) says 50. */
static bool attemptLogin(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pImsi, "gpAuthInfo->pImsi"))
        return false;
    chooseAccount(pAuthInfo);
    if (!CHECK_AS(pAuthInfo->pUsername, "gpAuthInfo->pUsername") ||
        !CHECK_AS(pAuthInfo->pPassword, "gpAuthInfo->pPassword"))
        return false;
    const char* pCheckHost = WISPrGetConnectivityCheckHost();
    DebugPrintF(kDebugLevelInfo, "Connecting to %s\n", pAuthInfo->pLoginHost);
    g_autofree char* pPayload = g_strdup_printf(
        "UserName=%s&Password=%s&FNAME=0&OriginatingServer=%s" kWISPrConnectivityCheckPath,
        pAuthInfo->pUsername, pAuthInfo->pPassword, pCheckHost ? pCheckHost : "");
    g_autofree char* pRequestLine =
        pAuthInfo->pLoginQuery ? g_strdup_printf("POST %s?%s HTTP/1.0\r\n", pAuthInfo->pLoginPath,
                                                 pAuthInfo->pLoginQuery)
                               : g_strdup_printf("POST %s HTTP/1.0\r\n", pAuthInfo->pLoginPath);
    /* The final CRLF goes beyond the announced length, as gateways have always been sent. */
    g_autofree char* pRequest = g_strdup_printf(
        "%s" kWISPrUserAgentLine "Content-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: %d\r\n\r\n%s\r\n",
        pRequestLine, (int)strlen(pPayload), pPayload);
    char* pReply = exchange(pAuthInfo->pInterface, pAuthInfo->pLoginHost, pRequest);
    if (!CHECK(pReply) || !CHECK_AS(*pReply, "len")) {
        free(pReply);
        return false;
    }
    WISPrParseHotspotData(pAuthInfo, pReply);
    free(pReply);
    return CHECK(pAuthInfo->responseCode == kWISPrResponseCodeSucceed);
}

static gboolean WISPrPollLoginStatus(gpointer pUnused);

static gboolean WISPrStartLogin(gpointer pUnused)
{
    (void)pUnused;
    WISPrAuthInfo* pAuthInfo = gpAuthInfo;
    if (!CHECK(gpAuthInfo))
        return endTimer();
    if (attemptLogin(pAuthInfo)) {
        DebugPrintF(kDebugLevelInfo, "WISPr Login Succeeded!\n");
        retryCount = 0;
        notify(pAuthInfo);
        return endTimer();
    }
    switch (pAuthInfo->responseCode) {
    case kWISPrResponseCodePending:
        DebugPrintF(kDebugLevelError, "%s() need to go into polling mode\n", __func__);
        pollingCount = 1;
        retryCount = 0;
        WISPrSetTimeout(kPollIntervalMs / gTimeScale, WISPrPollLoginStatus, NULL);
        notify(pAuthInfo);
        return G_SOURCE_REMOVE;
    case kWISPrResponseCodeRejected:
        DebugPrintF(kDebugLevelError, "Hotspot rejected our login request\n");
        WISPrSaveKelAccountToPrefs(NULL, NULL, NULL);
        retryCount = 0;
        notify(pAuthInfo);
        return endTimer();
    default:
        DebugPrintF(kDebugLevelError, "%s() retry count %d, max retries %d\n", __func__, retryCount,
                    kMaxLoginAttempts);
        if (++retryCount > kMaxLoginAttempts) {
            retryCount = 0;
            notify(pAuthInfo);
            return endTimer();
        }
        return G_SOURCE_CONTINUE;
    }
}

/* One result poll; the reply, when there is one, is parsed into the record. */
static void pollOnce(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pLoginResultHost, "gpAuthInfo->pLoginResultHost") ||
        !CHECK_AS(pAuthInfo->pLoginResultPath, "gpAuthInfo->pLoginResultPath"))
        return;
    g_autofree char* pRequest =
        pAuthInfo->pLoginResultQuery
            ? g_strdup_printf("GET %s?%s HTTP/1.0\r\n" kWISPrUserAgentLine
                              "Connection: close\r\n\r\n",
                              pAuthInfo->pLoginResultPath, pAuthInfo->pLoginResultQuery)
            : g_strdup_printf("GET %s HTTP/1.0\r\n" kWISPrUserAgentLine "Connection: close\r\n\r\n",
                              pAuthInfo->pLoginResultPath);
    char* pReply = exchange(pAuthInfo->pInterface, pAuthInfo->pLoginResultHost, pRequest);
    if (CHECK(pReply))
        WISPrParseHotspotData(pAuthInfo, pReply);
    free(pReply);
}

static gboolean WISPrPollLoginStatus(gpointer pUnused)
{
    (void)pUnused;
    WISPrAuthInfo* pAuthInfo = gpAuthInfo;
    if (!CHECK(gpAuthInfo))
        return endTimer();
    pollOnce(pAuthInfo);
    if (pAuthInfo->responseCode == kWISPrResponseCodeSucceed) {
        DebugPrintF(kDebugLevelInfo, "WISPr Login Succeeded!\n");
        WISPrSaveKelAccountToPrefs(pAuthInfo->pUsername, pAuthInfo->pPassword, pAuthInfo->pImsi);
        pollingCount = 0;
        notify(pAuthInfo);
        return endTimer();
    }
    if (pAuthInfo->responseCode == kWISPrResponseCodeRejected) {
        DebugPrintF(kDebugLevelError, "Hotspot rejected our login request\n");
        WISPrSaveKelAccountToPrefs(NULL, NULL, NULL);
        pollingCount = 0;
        notify(pAuthInfo);
        return endTimer();
    }
    if (++pollingCount > kMaxPolls) {
        pollingCount = 0;
        notify(pAuthInfo);
        return endTimer();
    }
    return G_SOURCE_CONTINUE;
}

int WISPrLogin(WISPrAuthInfo* pAuthInfo, const char* pHotspotData)
{
    DebugPrintF(kDebugLevelInfo, "WISPr Login invoked...\n");
    if (!pAuthInfo)
        return kStatusIncompleteHotspotInfo;
    if (!CHECK_AS(pHotspotData, "pData")) {
        freeAuthInfo(pAuthInfo);
        return kStatusIncompleteHotspotInfo;
    }
    DebugPrintF(kDebugLevelTrace, "Hotspot Info: %s\n", pHotspotData);
    WISPrParseHotspotData(pAuthInfo, pHotspotData);
    if (!CHECK_AS(pAuthInfo->pLoginHost && pAuthInfo->pLoginPath,
                  "(pAuthInfo->pLoginHost && pAuthInfo->pLoginPath)")) {
        freeAuthInfo(pAuthInfo);
        return kStatusIncompleteHotspotInfo;
    }
    TSError error;
    TSErrorInit(&error);
    bool success = TSCallOneReply(gpClientBus, "quor://com.quor.connectionmanager/getStatus", "{}",
                                  WISPrHandleConnMgrNotification, NULL, NULL, &error) &&
                   TSCallOneReply(gpClientBus, "quor://com.quor.telephony/imsiQuery", "{}",
                                  WISPrHandleTelephonyNotification, NULL, NULL, &error);
    TSErrorFree(&error);
    if (!CHECK(success)) {
        freeAuthInfo(pAuthInfo);
        return kStatusUnknown;
    }
    WISPrSetTimeout(0, NULL, NULL);
    if (gpAuthInfo)
        freeAuthInfo(gpAuthInfo);
    gpAuthInfo = pAuthInfo;
    pollingCount = 0;
    retryCount = 1;
    /* Never shortened for tests: the attempts give the WAN address and IMSI queries sent
     * above the time to be answered, and the bus takes as long whatever the time scale. */
    WISPrSetTimeout(kLoginAttemptIntervalMs, WISPrStartLogin, NULL);
    return kStatusSuccess;
}

/* Sends the logoff request; the reply is not read. Told as 150 once the request is out. */
static void WISPrStartLogoff(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pLogoffHost, "gpAuthInfo->pLogoffHost") ||
        !CHECK_AS(pAuthInfo->pLogoffPath, "gpAuthInfo->pLogoffPath"))
        return;
    CarrierHotspotSession* pSession = CarrierHotspot_HTTPInit(pAuthInfo->pInterface);
    g_autofree char* pRequest =
        g_strdup_printf("GET %s HTTP/1.0\r\n" kWISPrUserAgentLine "\r\n", pAuthInfo->pLogoffPath);
    bool sent =
        CHECK(pSession) &&
        CHECK_AS(CarrierHotspot_HTTPConnect(pSession, pAuthInfo->pLogoffHost, gConnectTimeoutMs),
                 "CarrierHotspot_HTTPConnect") &&
        CHECK_AS(CarrierHotspot_HTTPRequest(pSession, pRequest), "CarrierHotspot_HTTPRequest");
    CarrierHotspot_HTTPDestroy(&pSession);
    if (!sent)
        return;
    pAuthInfo->responseCode = kWISPrResponseCodeLogoffSucceed;
    notify(pAuthInfo);
}

int WISPrLogoff(bool immediate)
{
    DebugPrintF(kDebugLevelInfo, "WISPr Logoff invoked...\n");
    WISPrSetTimeout(0, NULL, NULL);
    retryCount = 0;
    pollingCount = 0;
    if (!CHECK(gpAuthInfo))
        return kStatusSuccess;
    if (!CHECK(!immediate))
        return kStatusSuccess;
    WISPrStartLogoff(gpAuthInfo);
    freeAuthInfo(gpAuthInfo);
    gpAuthInfo = NULL;
    return kStatusSuccess;
}

void WISPrClientFinalize(void)
{
    WISPrSetTimeout(0, NULL, NULL);
    if (gpAuthInfo)
        freeAuthInfo(gpAuthInfo);
    gpAuthInfo = NULL;
}

/* WISPrService: the login record, WISPr text parsing, connectivity check and hotspot account. */
#define _GNU_SOURCE
#include "WISPrService.h"

#include "CarrierHotspotHTTP.h"
#include "WISPrSettings.h"
#include "csdebug.h"
#include "tpprefs.h"

#include <glib.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

char* WISPrGetNodeContent(const char* pLine, const char* pName)
{
    if (!pLine || !pName)
        return NULL;
    g_autofree char* pOpenTag = g_strdup_printf("<%s>", pName);
    g_autofree char* pCloseTag = g_strdup_printf("</%s>", pName);
    const char* pOpen = strcasestr(pLine, pOpenTag);
    const char* pClose = strcasestr(pLine, pCloseTag);
    if (!pOpen || !pClose)
        return NULL;
    const char* pContent = pOpen + strlen(pOpenTag);
    if (pClose < pContent)
        return NULL;
    size_t len = (size_t)(pClose - pContent);
    if (!CHECK(len))
        return NULL;
    return strndup(pContent, len);
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

static void parseLine(WISPrAuthInfo* pAuthInfo, const char* pLine)
{
    char* pContent = NULL;
    if (strstr(pLine, "HTTP/1.0 200 OK") || strstr(pLine, "HTTP/1.1 200 OK")) {
        DebugPrintF(kDebugLevelInfo,
                    "Received HTTP 200 OK in response! Performing connectivity check..\n");
        pAuthInfo->responseCode = WISPrCheckConnectivity(pAuthInfo) ? kWISPrResponseCodeSucceed
                                                                    : kWISPrResponseCodeRejected;
    } else if (strcasestr(pLine, "<ResponseCode>")) {
        if ((pContent = WISPrGetNodeContent(pLine, "ResponseCode"))) {
            pAuthInfo->responseCode = (int)strtol(pContent, NULL, 10);
            DebugPrintF(kDebugLevelInfo, "Response code: %d\n", pAuthInfo->responseCode);
        }
    } else if (strcasestr(pLine, "<MessageType>")) {
        if ((pContent = WISPrGetNodeContent(pLine, "MessageType"))) {
            pAuthInfo->messageType = (int)strtol(pContent, NULL, 10);
            DebugPrintF(kDebugLevelInfo, "Message type: %d\n", pAuthInfo->messageType);
        }
    } else if (strcasestr(pLine, "<LoginURL>")) {
        if ((pContent = WISPrGetNodeContent(pLine, "LoginURL"))) {
            replaceString(&pAuthInfo->pLoginQuery, copyQuery(pContent));
            if (pAuthInfo->pLoginQuery)
                DebugPrintF(kDebugLevelTrace, "Login query: %s\n", pAuthInfo->pLoginQuery);
            else
                DebugPrintF(kDebugLevelError, "Failed to parse login query\n");
            WISPrParseURL(pContent, &pAuthInfo->pLoginHost, &pAuthInfo->pLoginPath);
        }
    } else if (strcasestr(pLine, "<LogoffURL>")) {
        if ((pContent = WISPrGetNodeContent(pLine, "LogoffURL")))
            WISPrParseURL(pContent, &pAuthInfo->pLogoffHost, &pAuthInfo->pLogoffPath);
    } else if (strcasestr(pLine, "<LoginResultsURL>")) {
        if ((pContent = WISPrGetNodeContent(pLine, "LoginResultsURL"))) {
            replaceString(&pAuthInfo->pLoginResultQuery, copyQuery(pContent));
            if (pAuthInfo->pLoginResultQuery)
                DebugPrintF(kDebugLevelTrace, "Login result query: %s\n",
                            pAuthInfo->pLoginResultQuery);
            else
                DebugPrintF(kDebugLevelError, "Failed to parse login result query\n");
            WISPrParseURL(pContent, &pAuthInfo->pLoginResultHost, &pAuthInfo->pLoginResultPath);
        }
    } else if (strcasestr(pLine, "SessionId")) {
        /* The session id travels in an HTML comment: "<!-- ... SessionId=abc -->". */
        const char* pEquals = strchr(pLine, '=');
        const char* pEnd = pEquals ? strstr(pEquals, "-->") : NULL;
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
    g_auto(GStrv) ppLines = g_strsplit(pData, "\n", -1);
    for (char** ppLine = ppLines; *ppLine; ppLine++)
        parseLine(pAuthInfo, *ppLine);
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
    g_auto(GStrv) ppLines = g_strsplit(pReply, "\n", -1);
    for (char** ppLine = ppLines; *ppLine; ppLine++) {
        const char* pLine = *ppLine;
        if ((strstr(pLine, "HTTP/1.0") || strstr(pLine, "HTTP/1.1")) && !strstr(pLine, "200 OK")) {
            DebugPrintF(kDebugLevelError,
                        "Not a HTTP 200 OK response. Connectivity check failed\n");
            return false;
        }
        if (strstr(pLine, kWISPrConnectivityCheckAnswer)) {
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

    g_auto(GStrv) ppLines = g_strsplit(pReply, "\n", -1);
    free(pReply);
    for (char** ppLine = ppLines; *ppLine; ppLine++) {
        char* pContent = NULL;
        if (strcasestr(*ppLine, "<m_response>")) {
            if ((pContent = WISPrGetNodeContent(*ppLine, "m_response"))) {
                DebugPrintF(kDebugLevelTrace, "m_response: %s\n", pContent);
                replaceString(&gpAuthInfo->pUsername, pContent);
            }
        } else if (strcasestr(*ppLine, "<p_response>")) {
            if ((pContent = WISPrGetNodeContent(*ppLine, "p_response"))) {
                DebugPrintF(kDebugLevelTrace, "p_response: %s\n", pContent);
                replaceString(&gpAuthInfo->pPassword, pContent);
            }
        } else if (strcasestr(*ppLine, "<c_response>")) {
            if ((pContent = WISPrGetNodeContent(*ppLine, "c_response"))) {
                DebugPrintF(kDebugLevelTrace, "c_response: %s\n", pContent);
                free(pContent);
            }
        }
    }
    return gpAuthInfo->pUsername && gpAuthInfo->pPassword;
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

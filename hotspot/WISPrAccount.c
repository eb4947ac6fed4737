/* WISPrAccount: the exchanges with the carrier (connectivity check, account creation) and the
 * saved hotspot account. */
#define _GNU_SOURCE
#include "WISPrInternal.h"

#include "CarrierHotspotHTTP.h"
#include "WISPrSettings.h"
#include "csdebug.h"
#include "tpprefs.h"

#include <glib.h>
#include <json-c/json.h>
#include <stdlib.h>
#include <string.h>

static int gConnectTimeoutMs = 5000;
static int gReceiveTimeoutMs = 15000;

void WISPrSetExchangeTimeoutsForTest(int connectMs, int receiveMs)
{
    gConnectTimeoutMs = connectMs;
    gReceiveTimeoutMs = receiveMs;
}

int WISPrConnectTimeoutMs(void)
{
    return gConnectTimeoutMs;
}

/* One blocking exchange with a carrier endpoint: the reply text (free()), or NULL. */
char* WISPrExchange(const char* pInterface, const char* pTarget, const char* pRequest)
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
    for (const char* pLine; (pLine = WISPrNextLine(&pCursor, &len));) {
        if ((WISPrFindInSpan(pLine, len, "HTTP/1.0", false) ||
             WISPrFindInSpan(pLine, len, "HTTP/1.1", false)) &&
            !WISPrFindInSpan(pLine, len, "200 OK", false)) {
            DebugPrintF(kDebugLevelError,
                        "Not a HTTP 200 OK response. Connectivity check failed\n");
            return false;
        }
        if (WISPrFindInSpan(pLine, len, kWISPrConnectivityCheckAnswer, false)) {
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
    char* pReply = WISPrExchange(pAuthInfo ? pAuthInfo->pInterface : NULL, pTarget, pRequest);
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
    char* pReply =
        WISPrExchange(gpAuthInfo->pWanIpAddress, pTarget,
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
    for (const char* pLine; (pLine = WISPrNextLine(&pCursor, &len));) {
        char* pContent = NULL;
        if (WISPrFindInSpan(pLine, len, "<m_response>", true)) {
            if ((pContent = WISPrNodeContentInSpan(pLine, len, "m_response"))) {
                DebugPrintF(kDebugLevelTrace, "m_response: %s\n", pContent);
                WISPrReplaceString(&gpAuthInfo->pUsername, pContent);
            }
        } else if (WISPrFindInSpan(pLine, len, "<p_response>", true)) {
            if ((pContent = WISPrNodeContentInSpan(pLine, len, "p_response"))) {
                /* The text stays; the password does not reach the log. */
                DebugPrintF(kDebugLevelTrace, "p_response: %s\n", "****");
                WISPrReplaceString(&gpAuthInfo->pPassword, pContent);
            }
        } else if (WISPrFindInSpan(pLine, len, "<c_response>", true)) {
            if ((pContent = WISPrNodeContentInSpan(pLine, len, "c_response"))) {
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

/* WISPrClient: the smart client (attempts, polls, logoff) and its bus queries. */
#define _GNU_SOURCE
#include "WISPrInternal.h"

#include "CarrierHotspotHTTP.h"
#include "WISPrSettings.h"
#include "csdebug.h"

#include <glib.h>
#include <json-c/json.h>
#include <stdlib.h>
#include <string.h>

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
        WISPrReplaceString(&gpAuthInfo->pWanIpAddress, strdup(pAddress));
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
        WISPrReplaceString(&gpAuthInfo->pImsi, pCopy);
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
    char* pReply = WISPrExchange(pAuthInfo->pInterface, pAuthInfo->pLoginHost, pRequest);
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
    char* pReply = WISPrExchange(pAuthInfo->pInterface, pAuthInfo->pLoginResultHost, pRequest);
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
        CHECK_AS(
            CarrierHotspot_HTTPConnect(pSession, pAuthInfo->pLogoffHost, WISPrConnectTimeoutMs()),
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

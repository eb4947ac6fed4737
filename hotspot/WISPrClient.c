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

/* The smart client: attempts and polls run as one timer at a time on the daemon's loop, and
 * each loop step makes at most one exchange. Every step is a fresh timer of low priority, armed
 * once the step before has ended: a bus call that arrived during an exchange is queued at the
 * default priority by then, so it is answered before the next exchange starts, and an interval
 * counts from the end of the exchange, not from when the step began. */

#define kLoginAttemptIntervalMs 200
#define kMaxLoginAttempts 3
#define kPollIntervalMs 1000
#define kMaxPolls 5
/* What telephony's missing answer leaves in the record. */
#define kUnreadableImsi "invalid"

static TSHandle* gpClientBus;
static WISPrNotifyFunc gNotify;
static int retryCount;
static int pollingCount;
static guint gTimerId;
static int gTimeScale = 1;

/* What the pending timer does when it fires. */
typedef enum {
    kStepAttempt,    /* starts an attempt: the account, created when there is none */
    kStepLoginPost,  /* the login POST */
    kStepLoginCheck, /* the connectivity check the login reply asked for */
    kStepPoll,       /* one result poll */
    kStepPollCheck,  /* the connectivity check the poll reply asked for */
} WISPrStep;

static WISPrStep gStep;
static WISPrPendingCheck gPendingCheck;

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

static gboolean WISPrRunStep(gpointer pUnused);

/* Cancels the pending timer, then, unless `cancelOnly`, arms `step` `ms` from now. */
static void WISPrSetTimeout(int ms, WISPrStep step, bool cancelOnly)
{
    if (gTimerId)
        g_source_remove(gTimerId);
    gTimerId = 0;
    if (cancelOnly)
        return;
    gStep = step;
    gTimerId = g_timeout_add_full(G_PRIORITY_LOW, (guint)ms, WISPrRunStep, NULL, NULL);
}

static void cancelTimer(void)
{
    WISPrSetTimeout(0, kStepAttempt, true);
}

static void freeAuthInfo(WISPrAuthInfo* pAuthInfo)
{
    WISPrReinitAuthInfo(pAuthInfo);
    free(pAuthInfo);
    DebugSetSecrets(NULL, 0);
}

static bool imsiIsReadable(const WISPrAuthInfo* pAuthInfo)
{
    return strcmp(pAuthInfo->pImsi, kUnreadableImsi) != 0;
}

/* The password as sent and form-encoded, for the log to mask wherever it shows. */
static void maskPasswordInLog(const char* pPassword)
{
    g_autofree char* pEncoded = g_uri_escape_string(pPassword, NULL, FALSE);
    g_autoptr(GString) pForm = g_string_new(pEncoded);
    g_string_replace(pForm, "%20", "+", 0);
    const char* secrets[] = {pPassword, pEncoded, pForm->str};
    DebugSetSecrets(secrets, 3);
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
        gpAuthInfo->pImsi = strdup(kUnreadableImsi);
        if (!gpAuthInfo->pImsi)
            abort();
    }
    json_object_put(pJsonRoot);
    return true;
}

/* Fills the record's user name and password with the saved account when it belongs to this
 * SIM; false when an account has to be created. A SIM that cannot be read is no other SIM: the
 * saved account, tied to a real one, is left alone for it. */
static bool chooseAccount(WISPrAuthInfo* pAuthInfo)
{
    g_clear_pointer(&pAuthInfo->pUsername, free);
    g_clear_pointer(&pAuthInfo->pPassword, free);
    if (!imsiIsReadable(pAuthInfo)) {
        DebugPrintF(kDebugLevelInfo, "IMSI unreadable: the saved account is left alone\n");
        return false;
    }
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
    return pAuthInfo->pUsername && pAuthInfo->pPassword;
}

/* Clears the saved account after a rejection; not for a SIM that cannot be read, whose
 * credentials were never the saved ones. */
static void forgetAccount(const WISPrAuthInfo* pAuthInfo)
{
    if (imsiIsReadable(pAuthInfo))
        WISPrSaveKelAccountToPrefs(NULL, NULL, NULL);
}

/* Whether the credentials may go to `pTarget`; a refusal is logged. */
static bool mayReceiveCredentials(const char* pTarget)
{
    g_autofree char* pHost = WISPrHostOfTarget(pTarget);
    if (WISPrIsCredentialHost(pHost))
        return true;
    DebugPrintF(kDebugLevelError, "Refused to send credentials to %s: not in CredentialHosts\n",
                pHost ? pHost : pTarget);
    return false;
}

/* Ends an attempt: logged in, into polling, rejected, or retried 200 ms later. `replied`:
 * the gateway's reply was parsed. */
static void endAttempt(WISPrAuthInfo* pAuthInfo, bool replied)
{
    if (replied && CHECK(pAuthInfo->responseCode == kWISPrResponseCodeSucceed)) {
        DebugPrintF(kDebugLevelInfo, "WISPr Login Succeeded!\n");
        retryCount = 0;
        notify(pAuthInfo);
        return;
    }
    switch (pAuthInfo->responseCode) {
    case kWISPrResponseCodePending:
        /* Nothing to tell yet: the polls will. */
        DebugPrintF(kDebugLevelError, "%s() need to go into polling mode\n", "WISPrStartLogin");
        pollingCount = 1;
        retryCount = 0;
        WISPrSetTimeout(kPollIntervalMs / gTimeScale, kStepPoll, false);
        return;
    case kWISPrResponseCodeRejected:
        DebugPrintF(kDebugLevelError, "Hotspot rejected our login request\n");
        forgetAccount(pAuthInfo);
        retryCount = 0;
        notify(pAuthInfo);
        return;
    default:
        DebugPrintF(kDebugLevelError, "%s() retry count %d, max retries %d\n", "WISPrStartLogin",
                    retryCount, kMaxLoginAttempts);
        if (++retryCount > kMaxLoginAttempts) {
            retryCount = 0;
            notify(pAuthInfo);
            return;
        }
        WISPrSetTimeout(kLoginAttemptIntervalMs, kStepAttempt, false);
        return;
    }
}

/* The login POST and its reply; the connectivity check the reply asks for is the next step. */
static void postLogin(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pUsername, "gpAuthInfo->pUsername") ||
        !CHECK_AS(pAuthInfo->pPassword, "gpAuthInfo->pPassword") ||
        !mayReceiveCredentials(pAuthInfo->pLoginHost)) {
        endAttempt(pAuthInfo, false);
        return;
    }
    maskPasswordInLog(pAuthInfo->pPassword);
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
        endAttempt(pAuthInfo, false);
        return;
    }
    gPendingCheck = WISPrParseReply(pAuthInfo, pReply);
    free(pReply);
    if (gPendingCheck != kWISPrCheckNone)
        WISPrSetTimeout(0, kStepLoginCheck, false);
    else
        endAttempt(pAuthInfo, true);
}

/* The first step of an attempt: the account; when one must be created, that exchange is the
 * whole step and the POST the next. */
static void WISPrStartLogin(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pImsi, "gpAuthInfo->pImsi")) {
        endAttempt(pAuthInfo, false);
        return;
    }
    if (chooseAccount(pAuthInfo)) {
        postLogin(pAuthInfo);
        return;
    }
    WISPrCreateKelAccount();
    WISPrSetTimeout(0, kStepLoginPost, false);
}

/* Ends a poll: logged in (the account saved), rejected, given up, or polled again later. */
static void endPoll(WISPrAuthInfo* pAuthInfo)
{
    if (pAuthInfo->responseCode == kWISPrResponseCodeSucceed) {
        DebugPrintF(kDebugLevelInfo, "WISPr Login Succeeded!\n");
        if (imsiIsReadable(pAuthInfo))
            WISPrSaveKelAccountToPrefs(pAuthInfo->pUsername, pAuthInfo->pPassword,
                                       pAuthInfo->pImsi);
        pollingCount = 0;
        notify(pAuthInfo);
        return;
    }
    if (pAuthInfo->responseCode == kWISPrResponseCodeRejected) {
        DebugPrintF(kDebugLevelError, "Hotspot rejected our login request\n");
        forgetAccount(pAuthInfo);
        pollingCount = 0;
        notify(pAuthInfo);
        return;
    }
    if (++pollingCount > kMaxPolls) {
        /* Told even when still pending (201): the Wi-Fi side must not wait for ever. */
        pollingCount = 0;
        notify(pAuthInfo);
        return;
    }
    WISPrSetTimeout(kPollIntervalMs / gTimeScale, kStepPoll, false);
}

/* One result poll; the reply, when there is one, is parsed into the record and the
 * connectivity check it asks for is the next step. */
static void WISPrPollLoginStatus(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pLoginResultHost, "gpAuthInfo->pLoginResultHost") ||
        !CHECK_AS(pAuthInfo->pLoginResultPath, "gpAuthInfo->pLoginResultPath") ||
        !mayReceiveCredentials(pAuthInfo->pLoginResultHost)) {
        endPoll(pAuthInfo);
        return;
    }
    g_autofree char* pRequest =
        pAuthInfo->pLoginResultQuery
            ? g_strdup_printf("GET %s?%s HTTP/1.0\r\n" kWISPrUserAgentLine
                              "Connection: close\r\n\r\n",
                              pAuthInfo->pLoginResultPath, pAuthInfo->pLoginResultQuery)
            : g_strdup_printf("GET %s HTTP/1.0\r\n" kWISPrUserAgentLine "Connection: close\r\n\r\n",
                              pAuthInfo->pLoginResultPath);
    char* pReply = WISPrExchange(pAuthInfo->pInterface, pAuthInfo->pLoginResultHost, pRequest);
    gPendingCheck = CHECK(pReply) ? WISPrParseReply(pAuthInfo, pReply) : kWISPrCheckNone;
    free(pReply);
    if (gPendingCheck != kWISPrCheckNone)
        WISPrSetTimeout(0, kStepPollCheck, false);
    else
        endPoll(pAuthInfo);
}

static gboolean WISPrRunStep(gpointer pUnused)
{
    (void)pUnused;
    gTimerId = 0;
    WISPrAuthInfo* pAuthInfo = gpAuthInfo;
    if (!CHECK(gpAuthInfo))
        return G_SOURCE_REMOVE;
    switch (gStep) {
    case kStepAttempt:
        WISPrStartLogin(pAuthInfo);
        break;
    case kStepLoginPost:
        postLogin(pAuthInfo);
        break;
    case kStepLoginCheck:
        WISPrRunPendingCheck(pAuthInfo, gPendingCheck);
        endAttempt(pAuthInfo, true);
        break;
    case kStepPoll:
        WISPrPollLoginStatus(pAuthInfo);
        break;
    case kStepPollCheck:
        WISPrRunPendingCheck(pAuthInfo, gPendingCheck);
        endPoll(pAuthInfo);
        break;
    }
    return G_SOURCE_REMOVE;
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
    cancelTimer();
    if (gpAuthInfo)
        freeAuthInfo(gpAuthInfo);
    gpAuthInfo = pAuthInfo;
    pollingCount = 0;
    retryCount = 1;
    /* Never shortened for tests: the attempts give the WAN address and IMSI queries sent
     * above the time to be answered, and the bus takes as long whatever the time scale. */
    WISPrSetTimeout(kLoginAttemptIntervalMs, kStepAttempt, false);
    return kStatusSuccess;
}

/* Sends the logoff request; the reply is not read. Told as 150 once the request is out. */
static void WISPrStartLogoff(WISPrAuthInfo* pAuthInfo)
{
    if (!CHECK_AS(pAuthInfo->pLogoffHost, "gpAuthInfo->pLogoffHost") ||
        !CHECK_AS(pAuthInfo->pLogoffPath, "gpAuthInfo->pLogoffPath") ||
        !mayReceiveCredentials(pAuthInfo->pLogoffHost))
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
    cancelTimer();
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
    cancelTimer();
    if (gpAuthInfo)
        freeAuthInfo(gpAuthInfo);
    gpAuthInfo = NULL;
}

/* Main: the kelwisprd process, its bus service and methods, outcome notification, idle timer. */
#define _GNU_SOURCE
#include "CarrierHotspotHTTP.h"
#include "WISPrService.h"
#include "WISPrSettings.h"
#include "csdebug.h"
#include "tamoservice.h"

#include <errno.h>
#include <glib.h>
#include <json-c/json.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* A logged check named by its expression as written, or by `name`. */
#define CHECK_AS(expr, name)                                                                       \
    DebugPrintAssert((expr) ? true : false, (name), 0, "Main.c", __LINE__, __func__)
#define CHECK(expr) CHECK_AS(expr, #expr)

#define kServiceName "com.quor.wifi.carrierhotspot"
#define kSignalCategory "/com/quor/wifi/carrierhotspot"
#define kLoginStatusUri "tamo://" kServiceName kSignalCategory "/loginStatus"
#define kAppManagerOpenUri "quor://com.quor.applicationManager/open"
#define kFileLogPath "/var/log/carrierhotspot.log"
#define kFileLogCapMiB 10
#define kIdleTimeoutMs 180000
/* The session id the Wi-Fi side is told, whatever the hotspot called it. */
#define kSessionId "kel"

static GMainLoop* gpMainLoop;
static TSHandle* gpIpcHandle;
static guint gIdleTimerId;
static int gMaxDebugLevel = kDebugLevelChatty;
static int gTimeScale = 1;

static const char* const gReasonStrings[] = {
    "success",
    "aborted",
    "bad argument",
    "retry limit exceeded",
    "unknown",
    "server error",
    "unknown ssid",
    "already in progress",
    "timed out",
    "access denied",
    "incomplete hotspot info",
};

/* The carrier's hotspot names, compared byte for byte. */
static const char* const gKnownSsids[] = {
    "KEL WiFi",      "Ondo WiFi",      "KEL WiFi Public",  "KEL WiFi Gares",
    "KEL WiFi Pemo", "Ondo WiFi Pemo", "VoRu Dovovevoded",
};

static void logBusError(TSError* pError)
{
    DebugPrintF(kDebugLevelError, "### TamoBus error %d: %s (%s @ %s:%d)\n", pError->error_code,
                pError->message ? pError->message : "", pError->func ? pError->func : "",
                pError->file ? pError->file : "", pError->line);
    TSErrorFree(pError);
}

/* The status reply of `code`, as JSON text for the caller to free(). */
static char* WISPr_GenerateResponse(int code)
{
    json_object* pJsonRoot = json_object_new_object();
    if (!pJsonRoot)
        abort();
    json_object_object_add(pJsonRoot, "returnValue", json_object_new_boolean(code == 0));
    if (code != kStatusSuccess) {
        json_object_object_add(pJsonRoot, "errorCode", json_object_new_int(code));
        json_object_object_add(pJsonRoot, "errorText",
                               json_object_new_string(gReasonStrings[code]));
    }
    char* pText = strdup(json_object_to_json_string_ext(pJsonRoot, JSON_C_TO_STRING_PLAIN));
    json_object_put(pJsonRoot);
    if (!pText)
        abort();
    return pText;
}

static void replyWithStatus(TSHandle* pHandle, TSMessage* pMessage, int code)
{
    char* pReply = WISPr_GenerateResponse(code);
    TSError error;
    TSErrorInit(&error);
    if (!TSMessageReply(pHandle, pMessage, pReply, &error))
        logBusError(&error);
    free(pReply);
}

static gboolean WISPr_QuitIfIdle(gpointer pUnused);

static void WISPr_StopIdleTimer(void)
{
    DebugPrintF(kDebugLevelInfo, "Service idle timer stopped...\n");
    if (gIdleTimerId)
        g_source_remove(gIdleTimerId);
    gIdleTimerId = 0;
}

static void WISPr_StartIdleTimer(void)
{
    if (gIdleTimerId)
        g_source_remove(gIdleTimerId);
    DebugPrintF(kDebugLevelInfo, "Service idle timer started...\n");
    gIdleTimerId = g_timeout_add(kIdleTimeoutMs / gTimeScale, WISPr_QuitIfIdle, NULL);
}

static gboolean WISPr_QuitIfIdle(gpointer pUnused)
{
    (void)pUnused;
    if (!CHECK(g_main_loop_is_running(gpMainLoop)))
        return G_SOURCE_CONTINUE;
    DebugPrintF(kDebugLevelInfo, "Terminating idle service...\n");
    gIdleTimerId = 0;
    TSError error;
    TSErrorInit(&error);
    if (!TSUnregister(gpIpcHandle, &error))
        logBusError(&error);
    gpIpcHandle = NULL;
    g_main_loop_quit(gpMainLoop);
    return G_SOURCE_REMOVE;
}

static bool WISPr_HandleAppManagerResponse(TSHandle* pHandle, TSMessage* pMessage, void* pContext)
{
    (void)pHandle;
    (void)pContext;
    DebugPrintF(kDebugLevelTrace, "%s() called with JSON %s.\n", __func__,
                TSMessageGetPayload(pMessage));
    return true;
}

static void showWelcome(int profileId)
{
    g_autofree char* pPayload =
        g_strdup_printf("{\"id\":\"com.quor.app.wifi\",\"params\":{\"hotspot\":{"
                        "                  \"profileId\":%d,"
                        "                  \"messageType\":\"%s\","
                        "                  \"messageTitle\":\"%s\","
                        "                  \"messageText\":\"%s\"}}}",
                        profileId, "info", "Welcome to KEL Wi-Fi Network",
                        "Enjoy fast and easy downloads of your favorite music, streaming videos, "
                        "games, and more.");
    TSError error;
    TSErrorInit(&error);
    if (!TSCallOneReply(gpIpcHandle, kAppManagerOpenUri, pPayload, WISPr_HandleAppManagerResponse,
                        NULL, NULL, &error)) {
        DebugPrintF(kDebugLevelError, "Error displaying error message in the UI\n");
        TSErrorFree(&error);
    }
}

static void WISPr_NotifyLoginStatus(const WISPrAuthInfo* pAuthInfo)
{
    const char* pPayload = NULL;
    switch (pAuthInfo->responseCode) {
    case kWISPrResponseCodeSucceed:
        DebugPrintF(kDebugLevelInfo, "Login succeeded with session id: " kSessionId "\n");
        showWelcome(pAuthInfo->profileId);
        pPayload = "{\"status\":\"logged in\",\"sessionId\":\"" kSessionId "\"}";
        break;
    case kWISPrResponseCodeRejected:
        WISPr_StartIdleTimer();
        pPayload = "{\"status\":\"login failed\",\"reason\":\"access denied\"}";
        break;
    case kWISPrResponseCodeLogoffSucceed:
        DebugPrintF(kDebugLevelInfo, "Logoff succeeded with session id: " kSessionId "\n");
        pPayload = "{\"status\":\"logged off\",\"sessionId\":\"" kSessionId "\"}";
        break;
    case kWISPrResponseCodePending:
        /* Told only when the polls gave up with the login still pending: the gateway never
         * concluded in time. */
        WISPr_StartIdleTimer();
        DebugPrintF(kDebugLevelError, "Login still pending after the last poll\n");
        pPayload = "{\"status\":\"login failed\",\"reason\":\"timed out\"}";
        break;
    default:
        WISPr_StartIdleTimer();
        DebugPrintF(kDebugLevelError, "Login failed with error code: %d\n",
                    pAuthInfo->responseCode);
        pPayload = "{\"status\":\"login failed\",\"reason\":\"retry limit exceeded\"}";
        break;
    }
    TSError error;
    TSErrorInit(&error);
    if (!TSSignalSend(gpIpcHandle, kLoginStatusUri, pPayload, &error))
        logBusError(&error);
}

/* The text of member `pKey`, a string or a number; NULL (checked as `pCheckName`) otherwise. */
static const char* argumentText(json_object* pJsonRoot, const char* pKey, const char* pCheckName)
{
    json_object* pMember = NULL;
    bool usable = json_object_object_get_ex(pJsonRoot, pKey, &pMember) &&
                  (json_object_is_type(pMember, json_type_string) ||
                   json_object_is_type(pMember, json_type_int) ||
                   json_object_is_type(pMember, json_type_double));
    return CHECK_AS(usable, pCheckName) ? json_object_get_string(pMember) : NULL;
}

/* The bytes of an SSID, compared whole: an escaped zero byte is part of the name. */
static bool isKnownSsid(const char* pSsid, size_t len)
{
    for (size_t i = 0; i < sizeof(gKnownSsids) / sizeof(gKnownSsids[0]); i++) {
        if (len == strlen(gKnownSsids[i]) && memcmp(pSsid, gKnownSsids[i], len) == 0)
            return true;
    }
    return false;
}

/* Undoes C-style escapes (\n, \t, \\, octal \ooo; any other escaped character stands for
 * itself): a heap text (g_free()) and its length, which counts escaped zero bytes. NULL, with
 * nothing printed, for a trailing backslash. */
static char* unescape(const char* pText, size_t* pLen)
{
    static const char kEscapes[] = "b\bf\fn\nr\rt\tv\v";
    char* pOut = g_malloc(strlen(pText) + 1);
    size_t n = 0;
    for (const char* p = pText; *p; p++) {
        if (*p != '\\') {
            pOut[n++] = *p;
            continue;
        }
        if (!*++p) {
            g_free(pOut);
            return NULL;
        }
        if (*p >= '0' && *p <= '7') {
            int value = 0;
            for (int digits = 0; digits < 3 && *p >= '0' && *p <= '7'; digits++, p++)
                value = value * 8 + (*p - '0');
            p--;
            pOut[n++] = (char)value;
            continue;
        }
        const char* pEscape = strchr(kEscapes, *p);
        bool known = pEscape && (pEscape - kEscapes) % 2 == 0;
        pOut[n++] = known ? pEscape[1] : *p;
    }
    pOut[n] = '\0';
    *pLen = n;
    return pOut;
}

/* A profile id in the int range, or false: a larger one would wrap. */
static bool readProfileId(const char* pText, int* pValue)
{
    errno = 0;
    long long value = strtoll(pText, NULL, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    *pValue = (int)value;
    return true;
}

/* Validates the payload and starts the login; the status code of the outcome. */
static int startLogin(const char* pPayload)
{
    json_object* pJsonRoot = pPayload && *pPayload ? json_tokener_parse(pPayload) : NULL;
    if (!CHECK(pJsonRoot))
        return kStatusBadArgument;
    const char* pProfileId = argumentText(pJsonRoot, "profileId", "pProfileIdJson->child->text");
    int profileId = 0;
    if (pProfileId &&
        !CHECK_AS(readProfileId(pProfileId, &profileId), "pProfileIdJson->child->text"))
        pProfileId = NULL;
    const char* pSsid =
        pProfileId ? argumentText(pJsonRoot, "ssid", "pSsidJson->child->text") : NULL;
    const char* pBssid = pSsid ? argumentText(pJsonRoot, "bssid", "pBssidJson->child->text") : NULL;
    const char* pHotspotInfo =
        pBssid ? argumentText(pJsonRoot, "hotspotInfo", "pHotspotInfoJson->child->text") : NULL;
    const char* pInterface =
        pHotspotInfo ? argumentText(pJsonRoot, "interface", "pInterfaceJson->child->text") : NULL;
    int code = kStatusBadArgument;
    /* The page is bounded like a gateway reply: the Wi-Fi side hands over what a network sent. */
    if (pInterface && CHECK_AS(strlen(pHotspotInfo) <= kCarrierHotspotMaxResponseBytes,
                               "(strlen(pHotspotInfo) <= kCarrierHotspotMaxResponseBytes)")) {
        size_t ssidLen = 0;
        size_t hotspotLen = 0;
        g_autofree char* pSsidText = unescape(pSsid, &ssidLen);
        char* pHotspotText = unescape(pHotspotInfo, &hotspotLen);
        WISPrAuthInfo* pAuthInfo = calloc(1, sizeof(*pAuthInfo));
        if (!CHECK(pSsidText && pHotspotText)) {
            code = kStatusUnknown;
        } else if (!CHECK_AS(isKnownSsid(pSsidText, ssidLen), "supported")) {
            code = kStatusUnknownSsid;
        } else if (!CHECK(pAuthInfo)) {
            code = kStatusUnknown;
        } else {
            pAuthInfo->pInterface = strdup(pInterface);
            pAuthInfo->profileId = profileId;
            pAuthInfo->pSsid = strdup(pSsidText);
            if (!pAuthInfo->pInterface || !pAuthInfo->pSsid)
                abort();
            code = WISPrLogin(pAuthInfo, pHotspotText);
            pAuthInfo = NULL;
        }
        free(pAuthInfo);
        g_free(pHotspotText);
    }
    json_object_put(pJsonRoot);
    return code;
}

static bool WISPr_TamoMethod_InitLogin(TSHandle* pHandle, TSMessage* pMessage, void* pContext)
{
    (void)pContext;
    const char* pPayload = TSMessageGetPayload(pMessage);
    DebugPrintF(kDebugLevelTrace, "%s() called with JSON %s.\n", __func__, pPayload);
    int code = startLogin(pPayload);
    if (code == kStatusSuccess) {
        DebugPrintF(kDebugLevelInfo, "WISPr login request verified and accepted\n");
        WISPr_StopIdleTimer();
    }
    replyWithStatus(pHandle, pMessage, code);
    return true;
}

static bool WISPr_TamoMethod_InitLogoff(TSHandle* pHandle, TSMessage* pMessage, void* pContext)
{
    (void)pContext;
    const char* pJson = TSMessageGetPayload(pMessage);
    DebugPrintF(kDebugLevelTrace, "%s() called with JSON %s.\n", __func__, pJson);
    int code = kStatusBadArgument;
    json_object* pJsonRoot = NULL;
    if (CHECK_AS(pJson && *pJson, "pJson") &&
        CHECK_AS((pJsonRoot = json_tokener_parse(pJson)), "pJsonRoot")) {
        json_object* pImmediate = NULL;
        bool immediate = json_object_object_get_ex(pJsonRoot, "immediate", &pImmediate) &&
                         json_object_is_type(pImmediate, json_type_boolean) &&
                         json_object_get_boolean(pImmediate);
        if (immediate)
            DebugPrintF(kDebugLevelInfo, "immediate logoff requested\n");
        code = WISPrLogoff(immediate);
    }
    json_object_put(pJsonRoot);
    replyWithStatus(pHandle, pMessage, code);
    WISPr_StartIdleTimer();
    return true;
}

static bool WISPr_TamoMethod_FoundNetworks(TSHandle* pHandle, TSMessage* pMessage, void* pContext)
{
    (void)pContext;
    replyWithStatus(pHandle, pMessage, kStatusSuccess);
    return true;
}

static const TSMethod gMethods[] = {
    {"initLogin", WISPr_TamoMethod_InitLogin, 0},
    {"initLogoff", WISPr_TamoMethod_InitLogoff, 0},
    {"foundNetworks", WISPr_TamoMethod_FoundNetworks, 0},
    {NULL, NULL, 0},
};

static const TSSignal gSignals[] = {
    {"loginStatus", 0},
    {NULL, 0},
};

/* Test hook: KELWISPRD_TEST_TIME_SCALE=N makes the idle period and the polls N times shorter,
 * so that tests never wait for minutes. */
static void readTestTimeScale(void)
{
    const char* pScale = g_getenv("KELWISPRD_TEST_TIME_SCALE");
    long scale = pScale ? strtol(pScale, NULL, 10) : 1;
    gTimeScale = scale >= 1 && scale <= 100000 ? (int)scale : 1;
    WISPrSetTimeScaleForTest(gTimeScale);
}

static bool registerService(void)
{
    TSError error;
    TSErrorInit(&error);
    bool success = TSRegister(kServiceName, &gpIpcHandle, &error) &&
                   TSRegisterCategory(gpIpcHandle, "/", gMethods, NULL, NULL, &error) &&
                   TSRegisterCategory(gpIpcHandle, kSignalCategory, NULL, gSignals, NULL, &error) &&
                   TSGmainAttach(gpIpcHandle, gpMainLoop, &error);
    if (!CHECK(success))
        logBusError(&error);
    return success;
}

int main(int argc, char** argv)
{
    bool toFile = false;
    const char* pLevelName = NULL;
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("kelwisprd %s\n", KEL_VERSION);
        return 0;
    }
    int option;
    while ((option = getopt(argc, argv, "zl:")) != -1) {
        if (option == 'z')
            toFile = true;
        else if (option == 'l')
            pLevelName = optarg;
    }

    if (toFile) {
        DebugInitialize(kDebugOutputFile, kFileLogPath, kFileLogCapMiB);
        gMaxDebugLevel = kDebugLevelError;
    } else {
        DebugInitialize(kDebugOutputPlatformLog, kServiceName, 0);
        gMaxDebugLevel = kDebugLevelChatty;
    }
    DebugSetProperty(kDebugPropertyMinimumLevel, gMaxDebugLevel);
    DebugSetProperty(kDebugPropertyHexDumpLimit, 0xffff);
    if (pLevelName) {
        if (!DebugLevelFromName(pLevelName, &gMaxDebugLevel))
            DebugPrintF(kDebugLevelWarning, "Unknown log level %s, keeping %d\n", pLevelName,
                        gMaxDebugLevel);
        DebugSetProperty(kDebugPropertyMinimumLevel, gMaxDebugLevel);
    }
    DebugPrintF(kDebugLevelInfo, "started %s\n", kServiceName);
    readTestTimeScale();
    CarrierHotspot_HTTPSetTrustedCAFile(WISPrGetTrustedCAFile());

    gpMainLoop = g_main_loop_new(NULL, FALSE);
    if (CHECK(gpMainLoop) && registerService()) {
        WISPrClientInit(gpIpcHandle, WISPr_NotifyLoginStatus);
        WISPr_StartIdleTimer();
        DebugPrintF(kDebugLevelInfo, "Carrier hotspot service 1.1 is running...\n");
        g_main_loop_run(gpMainLoop);
        DebugPrintF(kDebugLevelInfo, "Carrier hotspot service is stopped\n");
    }

    WISPr_StopIdleTimer();
    if (gpIpcHandle) {
        TSError error;
        TSErrorInit(&error);
        if (!TSUnregister(gpIpcHandle, &error))
            logBusError(&error);
        gpIpcHandle = NULL;
    }
    WISPrClientFinalize();
    if (gpMainLoop)
        g_main_loop_unref(gpMainLoop);
    DebugFinalize();
    return 0;
}

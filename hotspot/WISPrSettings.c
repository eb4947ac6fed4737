/* WISPrSettings: the deployment settings of kelwisprd, read from a key file. */
#include "WISPrSettings.h"

#include "csdebug.h"

#include <glib.h>

#define SETTINGS_GROUP "Endpoints"

static bool gSettingsLoaded;
static char* gpConnectivityCheckHost;
static char* gpAccountCreationHost;
static char* gpTrustedCAFile;

/* A key's value, or NULL when it is missing or blank. */
static char* copyHost(GKeyFile* pKeyFile, const char* pKey)
{
    char* pValue = g_key_file_get_string(pKeyFile, SETTINGS_GROUP, pKey, NULL);
    if (pValue && !*g_strstrip(pValue)) {
        g_free(pValue);
        pValue = NULL;
    }
    if (!pValue)
        DebugPrintF(kDebugLevelWarning, "Settings: no %s in [%s]\n", pKey, SETTINGS_GROUP);
    return pValue;
}

bool WISPrLoadSettings(const char* pPath)
{
    if (!pPath) {
        const char* pEnv = g_getenv("KELWISPRD_CONFIG");
        pPath = (pEnv && *pEnv) ? pEnv : kWISPrDefaultSettingsPath;
    }
    g_clear_pointer(&gpConnectivityCheckHost, g_free);
    g_clear_pointer(&gpAccountCreationHost, g_free);
    g_clear_pointer(&gpTrustedCAFile, g_free);
    gSettingsLoaded = true;

    g_autoptr(GKeyFile) pKeyFile = g_key_file_new();
    g_autoptr(GError) pError = NULL;
    if (!g_key_file_load_from_file(pKeyFile, pPath, G_KEY_FILE_NONE, &pError)) {
        DebugPrintF(kDebugLevelError, "Settings: cannot read %s: %s\n", pPath, pError->message);
        return false;
    }
    gpConnectivityCheckHost = copyHost(pKeyFile, "ConnectivityCheckHost");
    gpAccountCreationHost = copyHost(pKeyFile, "AccountCreationHost");
    /* Optional: without it, the system's store decides. */
    gpTrustedCAFile = g_key_file_get_string(pKeyFile, "TLS", "CAFile", NULL);
    if (gpTrustedCAFile && !*g_strstrip(gpTrustedCAFile))
        g_clear_pointer(&gpTrustedCAFile, g_free);
    DebugPrintF(kDebugLevelInfo, "Settings read from %s\n", pPath);
    return true;
}

const char* WISPrGetConnectivityCheckHost(void)
{
    if (!gSettingsLoaded)
        WISPrLoadSettings(NULL);
    return gpConnectivityCheckHost;
}

const char* WISPrGetAccountCreationHost(void)
{
    if (!gSettingsLoaded)
        WISPrLoadSettings(NULL);
    return gpAccountCreationHost;
}

const char* WISPrGetTrustedCAFile(void)
{
    if (!gSettingsLoaded)
        WISPrLoadSettings(NULL);
    return gpTrustedCAFile;
}

/* WISPrSettings: the deployment settings of kelwisprd, read from a key file. */
#include "WISPrSettings.h"

#include "csdebug.h"

#include <glib.h>
#include <string.h>

#define SETTINGS_GROUP "Endpoints"

static bool gSettingsLoaded;
static char* gpConnectivityCheckHost;
static char* gpAccountCreationHost;
static char* gpTrustedCAFile;
static char** gpCredentialHosts;

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
    g_clear_pointer(&gpCredentialHosts, g_strfreev);
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
    /* Optional: without it, credentials go wherever the gateway's pages point. */
    gpCredentialHosts =
        g_key_file_get_string_list(pKeyFile, SETTINGS_GROUP, "CredentialHosts", NULL, NULL);
    for (char** ppHost = gpCredentialHosts; ppHost && *ppHost; ppHost++)
        g_strstrip(*ppHost);
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

char* WISPrHostOfTarget(const char* pTarget)
{
    const char* pScheme = pTarget ? strstr(pTarget, "://") : NULL;
    if (!pScheme)
        return NULL;
    const char* pStart = pScheme + 3;
    const char* pEnd = pStart + strcspn(pStart, "/?#");
    /* curl connects to what follows the last "@": "http://allowed@evil" goes to "evil". */
    for (const char* p = pStart; p < pEnd; p++) {
        if (*p == '@')
            pStart = p + 1;
    }
    const char* pPort = NULL;
    if (*pStart == '[') {
        const char* pClose = memchr(pStart, ']', (size_t)(pEnd - pStart));
        if (!pClose)
            return NULL;
        pStart++;
        pPort = pClose;
    } else {
        pPort = memchr(pStart, ':', (size_t)(pEnd - pStart));
    }
    size_t len = (size_t)((pPort ? pPort : pEnd) - pStart);
    if (len == 0)
        return NULL;
    g_autofree char* pHost = g_strndup(pStart, len);
    return g_ascii_strdown(pHost, -1);
}

bool WISPrIsCredentialHost(const char* pHost)
{
    if (!gSettingsLoaded)
        WISPrLoadSettings(NULL);
    bool anyListed = false;
    for (char** ppEntry = gpCredentialHosts; ppEntry && *ppEntry; ppEntry++) {
        const char* pEntry = *ppEntry;
        if (!*pEntry)
            continue;
        anyListed = true;
        if (!pHost)
            continue;
        size_t hostLen = strlen(pHost);
        size_t entryLen = strlen(pEntry);
        if (pEntry[0] == '.'
                ? hostLen > entryLen && g_ascii_strcasecmp(pHost + hostLen - entryLen, pEntry) == 0
                : g_ascii_strcasecmp(pHost, pEntry) == 0)
            return true;
    }
    return !anyListed;
}

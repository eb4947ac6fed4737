/* WISPrSettings: the deployment settings of kelwisprd, read from a key file. */
#ifndef WISPR_SETTINGS_H
#define WISPR_SETTINGS_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where the settings live when no path is given: $KELWISPRD_CONFIG, else this file. */
#define kWISPrDefaultSettingsPath "/etc/kelwisprd.conf"

/* Reads the key file at `pPath`, or at the default location when NULL, replacing what was read
 * before. Returns false, leaving no hosts set, when the file cannot be read. */
bool WISPrLoadSettings(const char* pPath);

/* Scheme, host and optional port of each carrier endpoint ("http://check.example:8080"), or
 * NULL when the settings lack it. The first call of either reads the default settings if
 * WISPrLoadSettings was never called. */
const char* WISPrGetConnectivityCheckHost(void);
const char* WISPrGetAccountCreationHost(void);

/* The file of CA certificates that https endpoints are verified against ([TLS] CAFile), or
 * NULL for the system's store. */
const char* WISPrGetTrustedCAFile(void);

/* The host name of a target ("https://user@gw.example:8443" gives "gw.example"), lower-cased,
 * as a heap string (g_free()); NULL when it has none. */
char* WISPrHostOfTarget(const char* pTarget);

/* Whether `pHost` may receive the hotspot credentials: true for any host when the settings list
 * none ([Endpoints] CredentialHosts); otherwise when it equals an entry, or ends with an entry
 * that starts with "." (".carrier.example" takes "gw.carrier.example"). Case is ignored. */
bool WISPrIsCredentialHost(const char* pHost);

#ifdef __cplusplus
}
#endif

#endif

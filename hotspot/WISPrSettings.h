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

#ifdef __cplusplus
}
#endif

#endif

/* tpprefs: system properties and per-application values. */
#ifndef TPPREFS_H
#define TPPREFS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    TP_ERR_NONE = 0,
    TP_ERR_PARAM = -1,    /* a NULL or malformed argument */
    TP_ERR_NO_VALUE = -2, /* no such key, or the store cannot be read */
    TP_ERR_NO_MEMORY = -3,
    TP_ERR_IO = -4, /* the store could not be written */
} TPErr;

/* System properties come from one JSON object file: $TAMO_SYSTEM_PROPERTIES, or
 * /etc/quor/system-properties.json. A string value is returned as is; a number or boolean as
 * its JSON text. On success *valuep is a copy for the caller to release with TPFreeString. */
TPErr TPSystemCopyStringValue(const char* key, char** valuep);

/* Releases a text returned by this library; NULL is accepted. */
void TPFreeString(char* value);

/* Values of one application, kept in $TAMO_PREFS_DIR/<appId>.json (default /var/lib/quor/prefs).
 * Every write replaces the file atomically, so a crash never leaves a torn value; a torn or
 * unreadable file reads as having no values. */
typedef struct TPAppHandle TPAppHandle;

TPErr TPAppGetHandle(const char* appId, TPAppHandle** handlep);
/* On success *valuep is a copy of the text stored under `key`, released with TPFreeString. */
TPErr TPAppCopyValue(TPAppHandle* handle, const char* key, char** valuep);
TPErr TPAppSetValue(TPAppHandle* handle, const char* key, const char* value);
/* NULL is accepted. */
void TPAppFreeHandle(TPAppHandle* handle);

#ifdef __cplusplus
}
#endif

#endif

/* WISPrInternal: what the files of the WISPr client share and nothing else needs. */
#ifndef WISPR_INTERNAL_H
#define WISPR_INTERNAL_H

#include "WISPrService.h"
#include "csdebug.h"

#include <stdbool.h>
#include <stddef.h>

/* A logged check named by its expression as written, or by `name`. Every file of the client
 * reports as "WISPrService.c": that is the component the log's readers know. */
#define CHECK_AS(expr, name)                                                                       \
    DebugPrintAssert((expr) ? true : false, (name), 0, "WISPrService.c", __LINE__, __func__)
#define CHECK(expr) CHECK_AS(expr, #expr)

/* Frees *ppField and puts `pValue` (a heap string or NULL) in its place. */
void WISPrReplaceString(char** ppField, char* pValue);

/* The first occurrence of `pNeedle` within the `len` bytes at `pText`, letters compared
 * ignoring case or exactly, or NULL. The text needs no terminator. */
const char* WISPrFindInSpan(const char* pText, size_t len, const char* pNeedle, bool ignoreCase);

/* The next line of a text as a view (without its "\n") and its length, moving *ppCursor past
 * it; NULL after the last line. */
const char* WISPrNextLine(const char** ppCursor, size_t* pLen);

/* WISPrGetNodeContent on the `len` bytes of a line at `pLine`. */
char* WISPrNodeContentInSpan(const char* pLine, size_t len, const char* pName);

/* One blocking exchange with an endpoint: the reply text (free()), or NULL. */
char* WISPrExchange(const char* pInterface, const char* pTarget, const char* pRequest);

/* The time limit of every connection this client makes, in milliseconds. */
int WISPrConnectTimeoutMs(void);

/* What a reply parsed by WISPrParseReply left of the connectivity check that a status line asks
 * for: none, one whose verdict sets responseCode, or one whose verdict a later ResponseCode
 * line overrode (it still runs: the gateway sees the same exchanges). */
typedef enum { kWISPrCheckNone, kWISPrCheckDecides, kWISPrCheckOverridden } WISPrPendingCheck;

/* WISPrParseHotspotData without the connectivity check, so that the caller can run that
 * exchange as a loop step of its own. */
WISPrPendingCheck WISPrParseReply(WISPrAuthInfo* pAuthInfo, const char* pData);

/* Runs the check WISPrParseReply left, if any, and applies its verdict. */
void WISPrRunPendingCheck(WISPrAuthInfo* pAuthInfo, WISPrPendingCheck check);

#endif

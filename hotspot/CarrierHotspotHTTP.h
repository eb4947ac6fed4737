/* CarrierHotspotHTTP: raw HTTP exchanges over a connect-only libcurl transfer. */
#ifndef CARRIER_HOTSPOT_HTTP_H
#define CARRIER_HOTSPOT_HTTP_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest response a receive accepts; a hostile gateway cannot make us hold more. */
#define kCarrierHotspotMaxResponseBytes (1024 * 1024)

/* A whole receive ends within this many times its timeout, however the peer spaces its bytes:
 * a gateway that sends one byte per period would otherwise hold the daemon for ever. */
#define kCarrierHotspotReceiveTotalFactor 4

/* One session serves one exchange: init, connect, request, receive, destroy. Every call blocks. */
typedef struct CarrierHotspotSession CarrierHotspotSession;

/* The file of CA certificates that https peers are verified against, for every later session;
 * NULL or "" restores the system's store. Certificates are always verified. */
void CarrierHotspot_HTTPSetTrustedCAFile(const char* pPath);

/* `pInterface` is the local interface name or address to bind to, or NULL for any. Every
 * session speaks HTTP/1.x, whatever the scheme: the exchanges are raw HTTP/1.0 texts, so TLS
 * never offers HTTP/2 to a gateway. */
CarrierHotspotSession* CarrierHotspot_HTTPInit(const char* pInterface);

/* `pTarget` is scheme, host and optional port ("https://gw.example:8443"). The connection
 * phase is bounded by 15 seconds; `timeoutMs` bounds the wait for the socket to be ready, and
 * later every wait for room to send. Returns 1 when connected, 0 on failure. */
int CarrierHotspot_HTTPConnect(CarrierHotspotSession* pSession, const char* pTarget, int timeoutMs);

/* Sends the whole NUL-terminated text. Returns 1 when every byte went out, 0 otherwise. */
int CarrierHotspot_HTTPRequest(CarrierHotspotSession* pSession, const char* pRequest);

/* Reads the response until the peer closes or `timeoutMs` passes without data. Returns 1 with
 * *ppReceiveBuf a NUL-terminated heap text for the caller to free() and *pLen its length; 0 with
 * *ppReceiveBuf NULL and *pLen 0, never a partial response. Fails above
 * kCarrierHotspotMaxResponseBytes, and when the whole receive would last beyond
 * kCarrierHotspotReceiveTotalFactor times `timeoutMs`. */
int CarrierHotspot_HTTPReceive(CarrierHotspotSession* pSession, char** ppReceiveBuf, size_t* pLen,
                               int timeoutMs);

/* Releases *ppSession, if any, and clears it. */
void CarrierHotspot_HTTPDestroy(CarrierHotspotSession** ppSession);

#ifdef __cplusplus
}
#endif

#endif

/* CarrierHotspotHTTP: raw HTTP exchanges over a connect-only libcurl transfer. */
#define _GNU_SOURCE
#include "CarrierHotspotHTTP.h"

#include "csdebug.h"

#include <curl/curl.h>
#include <errno.h>
#include <poll.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* A logged check named by its expression as written, or by `name`. */
#define CHECK_AS(expr, name, value)                                                                \
    DebugPrintAssert((expr) ? true : false, (name), (long)(value), "CarrierHotspotHTTP.c",         \
                     __LINE__, __func__)
#define CHECK(expr, value) CHECK_AS(expr, #expr, value)

#define INITIAL_ROOM 4095
#define CONNECTION_PHASE_TIMEOUT_S 15L
#define kLoggedTextLimit ((size_t)64 * 1024)

struct CarrierHotspotSession {
    CURL* pCurl;
    /* Bound of a wait for room to send: the caller's connect timeout. */
    int sendWaitMs;
};

/* Shared by every session: one exchange at a time runs on the daemon's only thread. */
static char gErrorBuffer[CURL_ERROR_SIZE];
static char* gpTrustedCAFile;

void CarrierHotspot_HTTPSetTrustedCAFile(const char* pPath)
{
    free(gpTrustedCAFile);
    gpTrustedCAFile = pPath && *pPath ? strdup(pPath) : NULL;
    if (pPath && *pPath && !gpTrustedCAFile)
        abort();
}

static long long monotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Like poll() on one socket: > 0 ready (an error or hang-up counts as ready), 0 timed out,
 * < 0 failed. poll rather than select, so that a descriptor above FD_SETSIZE is safe. */
static int waitForSocket(curl_socket_t sock, short events, int timeoutMs)
{
    long long deadline = monotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        struct pollfd pfd = {.fd = sock, .events = events};
        long long left = deadline - monotonicMs();
        int ret = poll(&pfd, 1, left > 0 ? (int)left : 0);
        if (ret >= 0 || errno != EINTR)
            return ret;
    }
}

static void logCurlResult(int level, const char* function, CURLcode res)
{
    DebugPrintF(level, "%s CURL: %s\n", function, curl_easy_strerror(res));
    if (res != CURLE_OK && res != CURLE_AGAIN && gErrorBuffer[0])
        DebugPrintF(kDebugLevelError, "%s CURL: %s\n", function, gErrorBuffer);
}

CarrierHotspotSession* CarrierHotspot_HTTPInit(const char* pInterface)
{
    CarrierHotspotSession* pSession = calloc(1, sizeof(*pSession));
    if (pSession) {
        pSession->pCurl = curl_easy_init();
        if (!pSession->pCurl) {
            free(pSession);
            pSession = NULL;
        }
    }
    if (!CHECK(pSession, 0))
        return NULL;
    gErrorBuffer[0] = '\0';
    pSession->sendWaitMs = (int)(CONNECTION_PHASE_TIMEOUT_S * 1000);
    CURLcode res = curl_easy_setopt(pSession->pCurl, CURLOPT_ERRORBUFFER, gErrorBuffer);
    if (res == CURLE_OK)
        res = curl_easy_setopt(pSession->pCurl, CURLOPT_TIMEOUT, CONNECTION_PHASE_TIMEOUT_S);
    /* The resolver must not use alarm signals in a daemon that owns its signal handling. */
    if (res == CURLE_OK)
        res = curl_easy_setopt(pSession->pCurl, CURLOPT_NOSIGNAL, 1L);
    /* We write HTTP/1.0 by hand: a connection that negotiated HTTP/2 through ALPN would carry
     * our text into libcurl's HTTP/2 framing, which connect-only mode does not drive. */
    if (res == CURLE_OK)
        res = curl_easy_setopt(pSession->pCurl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    if (res == CURLE_OK && gpTrustedCAFile)
        res = curl_easy_setopt(pSession->pCurl, CURLOPT_CAINFO, gpTrustedCAFile);
    if (res == CURLE_OK && pInterface && *pInterface)
        res = curl_easy_setopt(pSession->pCurl, CURLOPT_INTERFACE, pInterface);
    if (!CHECK((res == CURLE_OK), res)) {
        CarrierHotspot_HTTPDestroy(&pSession);
        return NULL;
    }
    return pSession;
}

int CarrierHotspot_HTTPConnect(CarrierHotspotSession* pSession, const char* pTarget, int timeoutMs)
{
    if (!CHECK(pSession, 0) || !CHECK(pTarget, 0))
        return 0;
    CURLcode res = curl_easy_setopt(pSession->pCurl, CURLOPT_URL, pTarget);
    if (res == CURLE_OK)
        res = curl_easy_setopt(pSession->pCurl, CURLOPT_CONNECT_ONLY, 1L);
    if (res == CURLE_OK)
        res = curl_easy_perform(pSession->pCurl);
    logCurlResult(kDebugLevelTrace, __func__, res);
    if (!CHECK((res == CURLE_OK), res))
        return 0;

    curl_socket_t sock = CURL_SOCKET_BAD;
    res = curl_easy_getinfo(pSession->pCurl, CURLINFO_ACTIVESOCKET, &sock);
    if (!CHECK((res == CURLE_OK), res) || !CHECK((sock != CURL_SOCKET_BAD), sock))
        return 0;

    int err = waitForSocket(sock, POLLOUT, timeoutMs);
    if (!CHECK((err > 0), err))
        return 0;
    pSession->sendWaitMs = timeoutMs;
    return 1;
}

/* A text as logged: the password a login form carries ("Password=…") and the one an account
 * reply carries ("<p_response>…") read "****", since the default level prints trace lines.
 * NULL when there is nothing to mask. */
static char* maskSecrets(const char* pText)
{
    static const struct {
        const char* pMarker;
        const char* pValueEnds;
    } kSecrets[] = {{"Password=", "&\r\n"}, {"<p_response>", "<\r\n"}};
    const char* pNext = NULL;
    for (size_t i = 0; i < 2 && !pNext; i++)
        pNext = strcasestr(pText, kSecrets[i].pMarker);
    if (!pNext)
        return NULL;
    /* Each marker is longer than the four stars that may replace a shorter value. */
    char* pMasked = malloc(2 * strlen(pText) + 1);
    if (!pMasked)
        abort();
    char* pOut = pMasked;
    const char* pIn = pText;
    for (;;) {
        const char* pEarliest = NULL;
        size_t which = 0;
        for (size_t i = 0; i < 2; i++) {
            const char* pFound = strcasestr(pIn, kSecrets[i].pMarker);
            if (pFound && (!pEarliest || pFound < pEarliest)) {
                pEarliest = pFound;
                which = i;
            }
        }
        if (!pEarliest)
            break;
        size_t keep = (size_t)(pEarliest - pIn) + strlen(kSecrets[which].pMarker);
        memcpy(pOut, pIn, keep);
        pOut += keep;
        pIn += keep;
        memcpy(pOut, "****", 4);
        pOut += 4;
        pIn += strcspn(pIn, kSecrets[which].pValueEnds);
    }
    strcpy(pOut, pIn);
    return pMasked;
}

/* Logs `pText` after `pLabel` at trace level, secrets masked and cut at
 * kLoggedTextLimit bytes: a log line is no place for a mebibyte, and masking and escaping a
 * huge request would cost more than sending it. */
static void logExchangedText(const char* pLabel, const char* pText)
{
    size_t len = strlen(pText);
    size_t shown = len < kLoggedTextLimit ? len : kLoggedTextLimit;
    char* pShown = strndup(pText, shown);
    if (!pShown)
        abort();
    /* The known password first: the form's own marker would stop at an "&" inside it. */
    char* pKnownMasked = DebugMaskSecrets(pShown);
    if (pKnownMasked) {
        free(pShown);
        pShown = pKnownMasked;
    }
    char* pMasked = maskSecrets(pShown);
    if (shown < len)
        DebugPrintF(kDebugLevelTrace, "%s: %s... (%zu more bytes)\n", pLabel,
                    pMasked ? pMasked : pShown, len - shown);
    else
        DebugPrintF(kDebugLevelTrace, "%s: %s\n", pLabel, pMasked ? pMasked : pShown);
    free(pMasked);
    free(pShown);
}

int CarrierHotspot_HTTPRequest(CarrierHotspotSession* pSession, const char* pRequest)
{
    if (!CHECK(pSession, 0) || !CHECK(pRequest, 0))
        return 0;
    logExchangedText("Sending HTTP request", pRequest);
    size_t total = strlen(pRequest);
    size_t done = 0;
    while (done < total) {
        size_t sent = 0;
        CURLcode res = curl_easy_send(pSession->pCurl, pRequest + done, total - done, &sent);
        done += sent;
        if (res == CURLE_AGAIN) {
            /* The socket buffer is full: a long request waits for the peer to read. */
            curl_socket_t sock = CURL_SOCKET_BAD;
            res = curl_easy_getinfo(pSession->pCurl, CURLINFO_ACTIVESOCKET, &sock);
            if (!CHECK((res == CURLE_OK), res))
                return 0;
            int err = waitForSocket(sock, POLLOUT, pSession->sendWaitMs);
            if (!CHECK((err > 0), err))
                return 0;
            continue;
        }
        if (!CHECK((res == CURLE_OK), res))
            return 0;
    }
    return 1;
}

/* Reads until the library says "again" before every wait: a TLS record may hold more than one
 * read takes, and that rest would never make the socket readable. */
static bool receiveAll(CarrierHotspotSession* pSession, curl_socket_t sock, int timeoutMs,
                       char** ppReceiveBuf, size_t* pReceived)
{
    size_t room = INITIAL_ROOM;
    size_t received = 0;
    long long deadline = monotonicMs() + (long long)kCarrierHotspotReceiveTotalFactor * timeoutMs;
    *ppReceiveBuf = malloc(room + 1);
    if (!CHECK(*ppReceiveBuf, 0))
        return false;
    for (;;) {
        /* A full buffer is probed with one byte in the terminator's place, so that a response
         * that exactly fills it costs no reallocation. */
        size_t want = received < room ? room - received : 1;
        size_t n = 0;
        CURLcode res = curl_easy_recv(pSession->pCurl, *ppReceiveBuf + received, want, &n);
        logCurlResult(kDebugLevelChatty, "CarrierHotspot_HTTPReceive", res);
        /* libcurl reports a peer that closed as 0 bytes read, and as "no live connection"
         * (CURLE_UNSUPPORTED_PROTOCOL) once it has dropped the connection itself. Either way
         * the response is complete. */
        if ((res == CURLE_OK && n == 0) || res == CURLE_UNSUPPORTED_PROTOCOL)
            break;
        if (res == CURLE_OK) {
            received += n;
            if (received <= room)
                continue;
            if (!CHECK((received <= kCarrierHotspotMaxResponseBytes), received))
                return false;
            DebugPrintF(kDebugLevelTrace, "Need to adjust receive buffer size");
            room = room * 2 < kCarrierHotspotMaxResponseBytes ? room * 2
                                                              : kCarrierHotspotMaxResponseBytes;
            char* pGrown = realloc(*ppReceiveBuf, room + 1);
            if (!CHECK_AS(pGrown, "*ppReceiveBuf", 0))
                return false;
            *ppReceiveBuf = pGrown;
            continue;
        }
        if (!CHECK((res == CURLE_OK || res == CURLE_AGAIN), res))
            return false;

        long long left = deadline - monotonicMs();
        int waitMs = left < timeoutMs ? (int)(left > 0 ? left : 0) : timeoutMs;
        int ret = waitMs > 0 ? waitForSocket(sock, POLLIN, waitMs) : 0;
        if (!CHECK((ret >= 0), ret))
            return false;
        if (ret == 0 && waitMs < timeoutMs) {
            DebugPrintF(kDebugLevelError, "Receive exceeded its total bound of %lld ms\n",
                        (long long)kCarrierHotspotReceiveTotalFactor * timeoutMs);
            return false;
        }
        if (ret == 0) {
            if (received == 0) {
                DebugPrintF(kDebugLevelError, "Timed out when waiting to receive data\n");
                return false;
            }
            /* A peer that keeps the connection open has said all it will after a silence. */
            DebugPrintF(kDebugLevelTrace, "No more data to read\n");
            break;
        }
    }
    *pReceived = received;
    return true;
}

int CarrierHotspot_HTTPReceive(CarrierHotspotSession* pSession, char** ppReceiveBuf, size_t* pLen,
                               int timeoutMs)
{
    if (!CHECK(ppReceiveBuf, 0)) {
        if (pLen)
            *pLen = 0;
        return 0;
    }
    *ppReceiveBuf = NULL;
    if (!CHECK(pLen, 0))
        return 0;
    *pLen = 0;
    if (!CHECK(pSession, 0))
        return 0;

    curl_socket_t sock = CURL_SOCKET_BAD;
    CURLcode res = curl_easy_getinfo(pSession->pCurl, CURLINFO_ACTIVESOCKET, &sock);
    if (!CHECK((res == CURLE_OK), res) || !CHECK((sock != CURL_SOCKET_BAD), sock))
        return 0;

    char* pBuf = NULL;
    size_t received = 0;
    if (!receiveAll(pSession, sock, timeoutMs, &pBuf, &received)) {
        free(pBuf);
        return 0;
    }
    pBuf[received] = '\0';
    logExchangedText("Received", pBuf);
    *ppReceiveBuf = pBuf;
    *pLen = received;
    return 1;
}

void CarrierHotspot_HTTPDestroy(CarrierHotspotSession** ppSession)
{
    if (!ppSession || !*ppSession)
        return;
    curl_easy_cleanup((*ppSession)->pCurl);
    free(*ppSession);
    *ppSession = NULL;
}

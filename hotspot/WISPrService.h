/* WISPrService: the WISPr smart client, its login record, WISPr text parsing, connectivity check
 * and hotspot account. */
#ifndef WISPR_SERVICE_H
#define WISPR_SERVICE_H

#include "tamoservice.h"

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of the login functions and of the service's method replies. */
typedef enum {
    kStatusSuccess = 0,
    kStatusAborted = 1,
    kStatusBadArgument = 2,
    kStatusRetryLimitExceeded = 3,
    kStatusUnknown = 4,
    kStatusServerError = 5,
    kStatusUnknownSsid = 6,
    kStatusAlreadyInProgress = 7,
    kStatusTimedOut = 8,
    kStatusAccessDenied = 9,
    kStatusIncompleteHotspotInfo = 10,
} WISPrStatus;

/* The WISPr response codes the client acts on; any other is a failed attempt or an unfinished
 * poll. */
enum {
    kWISPrResponseCodeSucceed = 50,
    kWISPrResponseCodeRejected = 100,
    kWISPrResponseCodeLogoffSucceed = 150,
    kWISPrResponseCodePending = 201,
};

#define kWISPrAppId "com.quor.wifi.carrierhotspot"
#define kWISPrAccountKey "account"
#define kWISPrUserAgentLine "User-Agent: RIR-2.0.0-Quor\r\n"
#define kWISPrConnectivityCheckPath "/4o.zzz"
#define kWISPrConnectivityCheckAnswer "ABCd"
#define kWISPrAccountCreationPath "/cgi-bin/abcd/jtranspa"

/* One login. Every string is a heap copy owned by the record and released with free(); a
 * "host" is scheme, host and optional port, what CarrierHotspot_HTTPConnect takes. */
typedef struct WISPrAuthInfo {
    int messageType;  /* last MessageType parsed; logged only */
    int responseCode; /* last ResponseCode parsed, or set by the client */
    int profileId;    /* Wi-Fi profile id, for the welcome message */
    char* pInterface; /* local interface or address for the hotspot traffic */
    char* pSsid;
    char* pSessionId; /* from the hotspot page; kept, not used */
    char* pLoginHost;
    char* pLoginPath;  /* without its query */
    char* pLoginQuery; /* the text after the first "?", or NULL */
    char* pUsername;
    char* pPassword;
    char* pWanIpAddress; /* mobile data address, where account creation leaves from */
    char* pImsi;         /* or "invalid" when telephony did not tell */
    char* pLoginResultHost;
    char* pLoginResultPath;
    char* pLoginResultQuery;
    char* pLogoffHost;
    char* pLogoffPath; /* its query is not kept */
} WISPrAuthInfo;

/* The login in progress or established, or NULL. */
extern WISPrAuthInfo* gpAuthInfo;

/* Frees every string of the record and zeroes all its fields. NULL is accepted. */
void WISPrReinitAuthInfo(WISPrAuthInfo* pAuthInfo);

/* Fills the record from a WISPr text (a redirect page or a gateway reply), line by line; the
 * first rule that matches a line applies and a parsed value replaces the field's earlier one.
 * A "HTTP/1.x 200 OK" line runs WISPrCheckConnectivity for this record and sets responseCode
 * from its verdict; a later ResponseCode line overrides it. */
void WISPrParseHotspotData(WISPrAuthInfo* pAuthInfo, const char* pData);

/* A heap copy (free()) of the content of element `pName` in `pLine`, tags matched ignoring
 * case and both on this line; NULL when a tag is missing or the content is empty. */
char* WISPrGetNodeContent(const char* pLine, const char* pName);

/* Splits an http or https URL into its host (scheme, host and optional port) and its path
 * (from the first "/" after the host up to any "?"; "/" when there is none). On success
 * *ppHost and *ppPath, which must be NULL or heap strings, are replaced; on failure they are
 * left alone. */
bool WISPrParseURL(const char* pURL, char** ppHost, char** ppPath);

/* Fetches the connectivity-check page over the record's interface (any interface for a NULL
 * record) and passes when its expected answer comes before any status line other than
 * "200 OK". */
bool WISPrCheckConnectivity(const WISPrAuthInfo* pAuthInfo);

/* The saved account: on success three heap copies (free()); otherwise false with all three
 * NULL. */
bool WISPrGetKelAccountFromPrefs(char** ppUsername, char** ppPassword, char** ppImsi);

/* Stores the account, or clears it ("{}") when any value is NULL or empty. */
bool WISPrSaveKelAccountToPrefs(const char* pUsername, const char* pPassword, const char* pImsi);

/* Asks the carrier, over gpAuthInfo's WAN address, for a new account and fills gpAuthInfo's
 * pUsername and pPassword with it. True when both were filled. The account is not saved. */
bool WISPrCreateKelAccount(void);

/* Told when a login or a logoff ends; the record's responseCode says how (201: a login still
 * pending, which tells nothing). */
typedef void (*WISPrNotifyFunc)(const WISPrAuthInfo* pAuthInfo);

/* Where the client makes its bus calls (the WAN address, the IMSI) and whom it tells about
 * outcomes. Called once before the first WISPrLogin. */
void WISPrClientInit(TSHandle* pHandle, WISPrNotifyFunc notify);

/* Starts a login with a new record, taken over in every case, and the redirect page: parses the
 * page, asks for the WAN address and the IMSI, replaces any earlier login (without logging it
 * off) and arms the attempts: three, 200 ms apart, then up to five result polls, 1 s apart,
 * when the gateway answers that authentication is pending. Returns kStatusSuccess when the
 * login started, kStatusIncompleteHotspotInfo when the page lacks the login URL,
 * kStatusUnknown when the bus calls cannot be made. */
int WISPrLogin(WISPrAuthInfo* pAuthInfo, const char* pHotspotData);

/* Stops any attempt or poll and resets the counters. Unless `immediate`, sends the logoff
 * request when the logoff URL is known (told as 150) and drops the record; with `immediate`
 * the record stays. Returns kStatusSuccess. */
int WISPrLogoff(bool immediate);

/* Cancels the pending attempt or poll and drops the record, without logging off: the process
 * is ending. */
void WISPrClientFinalize(void);

/* Test hook: divides the interval of the polls by `scale` (>= 1). The attempts keep theirs:
 * they wait for bus answers, which no scale makes faster. */
void WISPrSetTimeScaleForTest(int scale);

/* Test hook: the time limits of every exchange this daemon makes (5,000 ms to connect and
 * 15,000 ms to receive in service). */
void WISPrSetExchangeTimeoutsForTest(int connectMs, int receiveMs);

#ifdef __cplusplus
}
#endif

#endif

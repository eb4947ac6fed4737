// HotspotGateway: the emulated WISPr hotspot gateway, connectivity check and account creation.
#ifndef EMU_HOTSPOT_HOTSPOTGATEWAY_H
#define EMU_HOTSPOT_HOTSPOTGATEWAY_H

#include "GatewayPages.h"
#include "RawHttpServer.h"
#include "vtjson.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace emu::hotspot
{

enum class Endpoint { Portal, Login, LoginResults, Logoff, ConnectivityCheck, AccountCreation };

// What the connectivity check answers: always the expected "ABCd", never, or only while a
// login holds (otherwise the captive redirect, as a real hotspot does).
enum class Connectivity { Open, Closed, Captive };

struct Misbehaviour {
    enum class Kind {
        None,
        Silence,    // read the request, never answer, hold the connection
        KeepOpen,   // answer, then hold the connection instead of closing it
        EarlyClose, // send only the first `amount` bytes of the answer (0: none), then close
        HugeBody,   // pad the answer's body to `amount` bytes
        Delay,      // answer after `amount` ms
        Status,     // answer HTTP status `amount` with an error page, change nothing
        Drip,       // send the answer one byte every `amount` ms
    };
    Kind kind = Kind::None;
    long long amount = 0;
    int times = -1; // requests it applies to; -1: until replaced
};

// Bounds of what a test or a person can make the gateway do, so that no setting can exhaust the
// emulator: the request log keeps the newest entries, misbehaviours refuse larger amounts.
constexpr size_t kMaxLoggedRequests = 1000;
constexpr long long kMaxHugeBodyBytes = 16LL * 1024 * 1024;
constexpr long long kMaxDelayMs = 60 * 1000;
constexpr long long kMaxDripGapMs = 10 * 1000;

class HotspotGateway
{
  public:
    // Listens on 127.0.0.1:config["port"] (default 0: an ephemeral port) and applies the rest
    // of `config` as apply() does. Throws std::invalid_argument for a bad configuration,
    // std::runtime_error when it cannot listen.
    explicit HotspotGateway(const JValue& config = JValue::object());
    ~HotspotGateway();
    HotspotGateway(const HotspotGateway&) = delete;
    HotspotGateway& operator=(const HotspotGateway&) = delete;

    // Applies the keys present in `settings` (docs/carrier-hotspot.md); "port" is ignored.
    // Checks everything first: on std::invalid_argument nothing has changed.
    void apply(const JValue& settings);

    uint16_t port() const { return m_port; }
    std::string baseUrl() const; // "http://127.0.0.1:PORT", or the public base URL
    // Where clients reach the gateway when something stands in front of it (TLS, a link
    // relay): the pages' addresses start with it. Set before any client knows it.
    void setPublicBaseUrl(const std::string& url) { m_publicBaseUrl = url; }
    // The endpoint's URL; the login and login-results URLs carry the login query.
    std::string url(Endpoint endpoint) const;
    // The page to hand to "initLogin" as the captured redirect page; also what the portal serves.
    std::string redirectPage() const;
    // The [Endpoints] group of kelwisprd's settings file, pointing at this gateway.
    std::string settingsLines() const;
    // The gateway's URLs as (variable, value) for the emulator's env file.
    std::vector<std::pair<std::string, std::string>> envVariables() const;

    void setLoginResponseCode(int code);
    void setPendingPolls(int polls);
    void setConnectivity(Connectivity connectivity);
    void setIssueAccounts(bool issue);
    void addAccount(const std::string& username, const std::string& password);
    void misbehave(Endpoint endpoint, const Misbehaviour& misbehaviour);
    void behave(); // drops every misbehaviour

    // {"loggedIn", "loginPending", "polls", "loginResponseCode", "pendingPolls",
    //  "connectivity", "issueAccounts", "requests"}
    JValue status() const;
    // [{"username", "password", "issued"}]: every account the login accepts.
    JValue accounts() const;
    // The requests so far, oldest first, at most the last kMaxLoggedRequests
    // (docs/carrier-hotspot.md lists the members).
    JValue requestLog() const;
    void clearRequestLog();

  private:
    struct Settings {
        std::string loginQuery = "gw=emu1";
        int loginResponseCode = 50;
        int pendingPolls = 0;
        Connectivity connectivity = Connectivity::Open;
        bool issueAccounts = true;
        std::string usernamePrefix = "kel-";
        TextShape shape;
        std::map<Endpoint, Misbehaviour> misbehaviours;
    };
    struct Account {
        std::string password;
        bool issued;
    };
    struct LoggedRequest {
        long long seq = 0;
        Endpoint endpoint = Endpoint::Portal;
        bool known = false; // false: no endpoint took the request
        HttpRequest request;
        int status = 0; // 0: no answer was sent
        int responseCode = -1;
        Misbehaviour::Kind misbehaviour = Misbehaviour::Kind::None;
        std::string note;
    };
    struct Answer {
        int status = 200;
        std::string contentType = "text/html";
        std::string body;
        std::string location;
        int responseCode = -1;
        std::string note;
    };

    HttpReply handle(const HttpRequest& request);
    Answer answerLogin(const HttpRequest& request);
    Answer answerPoll(const HttpRequest& request);
    Answer answerConnectivityCheck();
    Answer answerAccountCreation();
    Misbehaviour takeMisbehaviour(Endpoint endpoint);
    GatewayUrls urls() const;
    std::string issuePassword();

    mutable std::mutex m_mutex;
    Settings m_settings;
    std::map<std::string, Account> m_accounts;
    long long m_issuedCount = 0;
    bool m_loggedIn = false;
    bool m_loginPending = false;
    int m_polls = 0;
    std::string m_sessionId;
    std::mt19937 m_random;
    long long m_requestCount = 0;
    std::deque<LoggedRequest> m_log; // the newest kMaxLoggedRequests
    std::string m_publicBaseUrl;
    // Last: its threads call handle(), so it must go before the state they touch.
    std::unique_ptr<RawHttpServer> m_server;
    // Kept apart from the server: a connection still served while the server is being
    // destroyed (its pointer already null) builds the gateway's URLs from it.
    uint16_t m_port = 0;
};

} // namespace emu::hotspot

#endif

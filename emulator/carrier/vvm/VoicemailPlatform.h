// VoicemailPlatform: the carrier's voicemail platform on 127.0.0.1: the SOAP web service, the
// audio downloads and the usage-statistics endpoint, with a request log and misbehaviours on
// demand for tests.
#ifndef EMU_VOICEMAILPLATFORM_H
#define EMU_VOICEMAILPLATFORM_H

#include "UsageStats.h"
#include "VoicemailMailbox.h"
#include "vtjson.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib
{
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace emu::vvm
{

class VoicemailPlatform
{
  public:
    static const char* const s_servicePath; // "/vvm/services/FrontServiceDirect"
    static const char* const s_reportPath;  // "/initApp"

    // `config`: see docs/carrier-voicemail.md. Throws std::invalid_argument for a bad one.
    explicit VoicemailPlatform(const JValue& config);
    ~VoicemailPlatform();
    VoicemailPlatform(const VoicemailPlatform&) = delete;
    VoicemailPlatform& operator=(const VoicemailPlatform&) = delete;

    // Listens on 127.0.0.1 (the configured port, 0 for an ephemeral one) and serves on a
    // thread of its own. Throws std::runtime_error when the port cannot be bound.
    void start();
    void stop();

    int port() const { return m_port; }
    std::string baseUrl() const; // "http://127.0.0.1:PORT", or the public base URL
    // Where clients reach the platform when something stands in front of it (TLS, a link
    // relay): the audio addresses it hands out start with it. Set before any client knows it.
    void setPublicBaseUrl(const std::string& url) { m_publicBaseUrl = url; }
    std::string serviceUrl() const; // where the SOAP requests go
    std::string reportUrl() const;  // the usage-statistics endpoint

    // The control API, every command a JSON object {"command": NAME, ...}; the answer is
    // {"returnValue": true, ...} or {"returnValue": false, "errorCode": -986, "errorText": ...}.
    // Safe to call from any thread while the platform serves.
    JValue control(const JValue& command);

    // Shortcuts of the control commands "mailbox", "requests", "reports" and "downloads".
    JValue mailbox() const;
    // The call `id` as mailbox() lists it; null when there is none.
    JValue call(const std::string& id) const;
    JValue requests() const;
    JValue reports() const;
    JValue downloads() const;
    // The last greeting set through setInviteMessage, decoded.
    std::string greeting() const;

  private:
    struct SoapFailure {
        std::string operation; // "" for any
        int count = 1;
        int httpStatus = 0; // with `body`, instead of an answer
        std::string body;
        std::string fault; // detail status of a fault answer
        std::string faultString;
        bool malformed = false; // a body that is not XML
        bool close = false;     // the connection closes before any answer
        int delayMs = 0;        // before answering
    };
    struct AudioBehaviour {
        int failFirst = 0; // that many requests answered failStatus first
        int failStatus = 404;
        bool noLength = false;          // chunked, no Content-Length
        long long announcedLength = -1; // a Content-Length other than the true one
        long long closeAfter = -1;      // close after that many body bytes
        int delayMs = 0;
    };
    // One audio request: the call it named ("" for none), the "format" of its query ("" when
    // it came without one, as the call list's addresses do) and the status answered.
    struct Download {
        std::string id, path, format;
        int status;
    };
    struct LoggedRequest {
        std::string method, path, body;
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };

    void serveSoap(const httplib::Request& request, httplib::Response& response);
    void serveAudio(const httplib::Request& request, httplib::Response& response);
    void serveReport(const httplib::Request& request, httplib::Response& response);
    void record(const httplib::Request& request, int status);
    JValue runCommand(const std::string& name, const JValue& command);
    static SoapFailure soapFailureFromJson(const JValue& command);
    static AudioBehaviour audioBehaviourFromJson(const JValue& command);
    JValue mailboxLocked() const;
    void hold(int ms);

    mutable std::mutex m_mutex;
    VoicemailMailbox m_mailbox;
    std::string m_reportKey;
    std::deque<SoapFailure> m_soapFailures;
    AudioBehaviour m_audioDefault;
    std::map<std::string, AudioBehaviour> m_audioByCall;
    std::deque<int> m_reportStatuses;
    std::vector<LoggedRequest> m_requests;
    std::vector<UsageReport> m_reports;
    std::vector<Download> m_downloads;
    // Held answers wait on this until their delay ends, a recovery or the platform's stop.
    std::condition_variable m_wake;
    unsigned m_recoveries = 0;
    int m_held = 0; // answers being held now
    bool m_stopping = false;

    int m_configuredPort;
    int m_port;
    int m_keepAliveRequests; // answers on one connection before the platform closes it
    int m_keepAliveSeconds;  // idle time before it closes one
    std::string m_publicBaseUrl;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
};

} // namespace emu::vvm

#endif

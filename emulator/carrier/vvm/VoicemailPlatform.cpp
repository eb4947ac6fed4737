// VoicemailPlatform: the carrier's voicemail platform on 127.0.0.1: the SOAP web service, the
// audio downloads and the usage-statistics endpoint, with a request log and misbehaviours on
// demand for tests.
#include "VoicemailPlatform.h"

#include "SoapXml.h"

#include <httplib.h>
#include <libxml/parser.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <stdexcept>

namespace emu::vvm
{

namespace
{

const char* const kDefaultNamespace = "http://ws.vvm.example.invalid/";
const char* const kDefaultCodeProject = "QORVVM";
// The code of every refused command, the one the device services give a malformed request.
const int kBadCommand = -986;

std::string stringOr(const JValue& json, const char* key, const std::string& fallback)
{
    if (!json.hasKey(key))
        return fallback;
    std::string text;
    if (!json[key].asString(text))
        throw std::invalid_argument(std::string("\"") + key + "\" must be a string");
    return text;
}

int intOr(const JValue& json, const char* key, int fallback)
{
    if (!json.hasKey(key))
        return fallback;
    int32_t number = 0;
    if (!json[key].asNumber(number))
        throw std::invalid_argument(std::string("\"") + key + "\" must be an integer");
    return number;
}

// A status that an injected failure answers with: one that no client takes for success.
int failureStatusOr(const JValue& json, const char* key, int fallback)
{
    int status = intOr(json, key, fallback);
    if (status < 400 || status > 599)
        throw std::invalid_argument(std::string("\"") + key +
                                    "\" must be a failure status, 400 to 599");
    return status;
}

long long longOr(const JValue& json, const char* key, long long fallback)
{
    if (!json.hasKey(key))
        return fallback;
    int64_t number = 0;
    if (!json[key].asNumber(number))
        throw std::invalid_argument(std::string("\"") + key + "\" must be an integer");
    return number;
}

bool boolOr(const JValue& json, const char* key, bool fallback)
{
    if (!json.hasKey(key))
        return fallback;
    bool value = false;
    if (!json[key].asBool(value))
        throw std::invalid_argument(std::string("\"") + key + "\" must be a boolean");
    return value;
}

void readAccount(const JValue& json, VoicemailAccount& account)
{
    if (!json.isObject())
        throw std::invalid_argument("\"account\" must be an object");
    account.exists = boolOr(json, "exists", account.exists);
    account.userId = stringOr(json, "userId", account.userId);
    account.subscribed = boolOr(json, "subscribed", account.subscribed);
    account.subscriptionPending = boolOr(json, "subscriptionPending", account.subscriptionPending);
}

JValue success()
{
    JValue answer = JValue::object();
    answer.put("returnValue", true);
    return answer;
}

} // namespace

const char* const VoicemailPlatform::s_servicePath = "/vvm/services/FrontServiceDirect";
const char* const VoicemailPlatform::s_reportPath = "/initApp";

VoicemailPlatform::VoicemailPlatform(const JValue& config)
    : m_mailbox(stringOr(config, "namespace", kDefaultNamespace),
                stringOr(config, "codeProject", kDefaultCodeProject)),
      m_reportKey(stringOr(config, "reportKey", kUsageReportKey)),
      m_configuredPort(intOr(config, "port", 0)), m_port(0),
      m_keepAliveRequests(intOr(config, "keepAliveRequests", 100)),
      m_keepAliveSeconds(intOr(config, "keepAliveSeconds", 5))
{
    // Once, before any server thread parses.
    xmlInitParser();
    if (m_reportKey.size() != 16)
        throw std::invalid_argument("\"reportKey\" must have 16 characters");
    if (m_keepAliveRequests < 1 || m_keepAliveSeconds < 1)
        throw std::invalid_argument("\"keepAliveRequests\" and \"keepAliveSeconds\" must be at "
                                    "least 1");
    if (config.hasKey("account"))
        readAccount(config["account"], m_mailbox.account);
    if (config.hasKey("calls")) {
        JValue calls = config["calls"];
        if (!calls.isArray())
            throw std::invalid_argument("\"calls\" must be an array");
        for (size_t i = 0; i < calls.arraySize(); i++)
            m_mailbox.addCall(VoicemailCall::fromJson(calls[i]));
    }
}

VoicemailPlatform::~VoicemailPlatform()
{
    stop();
}

void VoicemailPlatform::start()
{
    if (m_server)
        return;
    m_server = std::make_unique<httplib::Server>();
    httplib::Server& server = *m_server;
    server.set_keep_alive_max_count(size_t(m_keepAliveRequests));
    // An answer leaves in several writes (headers, body); on a kept connection Nagle's rule
    // would hold the body until the client's delayed acknowledgement of the headers.
    server.set_tcp_nodelay(true);
    // A stop waits for the kept connections to reach this idle time.
    server.set_keep_alive_timeout(m_keepAliveSeconds);
    server.Post(s_servicePath,
                [this](const httplib::Request& request, httplib::Response& response) {
                    serveSoap(request, response);
                });
    server.Get(R"(/vvm/audio/(\d+)\.\w+)",
               [this](const httplib::Request& request, httplib::Response& response) {
                   serveAudio(request, response);
               });
    server.Post(s_reportPath, [this](const httplib::Request& request, httplib::Response& response) {
        serveReport(request, response);
    });
    auto notFound = [this](const httplib::Request& request, httplib::Response& response) {
        response.status = 404;
        response.set_content("Not found", "text/plain");
        record(request, 404);
    };
    server.Get(".*", notFound);
    server.Post(".*", notFound);

    if (m_configuredPort == 0) {
        m_port = server.bind_to_any_port("127.0.0.1");
    } else if (server.bind_to_port("127.0.0.1", m_configuredPort)) {
        m_port = m_configuredPort;
    }
    if (m_port <= 0) {
        m_server.reset();
        throw std::runtime_error("voicemail platform: cannot listen on 127.0.0.1:" +
                                 std::to_string(m_configuredPort));
    }
    m_thread = std::thread([&server] { server.listen_after_bind(); });
    // A stop() before the loop runs would be lost, and the loop would never end.
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void VoicemailPlatform::stop()
{
    if (!m_server)
        return;
    {
        // The server's threads are joined below: none may still be holding an answer.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_server.reset();
    m_stopping = false;
}

// A held answer ends early when the platform stops or recovers, so that neither waits for a
// delay that was meant to outlast the client.
void VoicemailPlatform::hold(int ms)
{
    if (ms <= 0)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    const unsigned recoveries = m_recoveries;
    m_held++;
    m_wake.wait_for(lock, std::chrono::milliseconds(ms),
                    [&] { return m_stopping || m_recoveries != recoveries; });
    m_held--;
}

std::string VoicemailPlatform::baseUrl() const
{
    if (!m_publicBaseUrl.empty())
        return m_publicBaseUrl;
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string VoicemailPlatform::serviceUrl() const
{
    return baseUrl() + s_servicePath;
}

std::string VoicemailPlatform::reportUrl() const
{
    return baseUrl() + s_reportPath;
}

void VoicemailPlatform::record(const httplib::Request& request, int status)
{
    LoggedRequest entry{request.method, request.path, request.body, {}, status};
    for (const auto& header : request.headers)
        entry.headers.emplace_back(header.first, header.second);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(std::move(entry));
}

void VoicemailPlatform::serveSoap(const httplib::Request& request, httplib::Response& response)
{
    const std::string operation = VoicemailMailbox::operationOf(request.body);
    SoapFailure failure;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_soapFailures.begin(); it != m_soapFailures.end(); ++it) {
            if (it->operation.empty() || it->operation == operation) {
                failure = *it;
                if (--it->count <= 0)
                    m_soapFailures.erase(it);
                break;
            }
        }
    }
    hold(failure.delayMs);
    // A failure replaces the answer: the operation asked to fail changes nothing.
    if (failure.close) {
        response.status = 200;
        response.set_content_provider(1024, "text/xml;charset=UTF-8",
                                      [](size_t, size_t, httplib::DataSink&) { return false; });
    } else if (failure.httpStatus) {
        response.status = failure.httpStatus;
        response.set_content(failure.body, "text/html");
    } else if (failure.malformed) {
        response.status = 200;
        response.set_content("<soapenv:Envelope><soapenv:Body>", "text/xml;charset=UTF-8");
    } else if (!failure.fault.empty()) {
        response.status = 500;
        const std::string& text = failure.faultString.empty() ? failure.fault : failure.faultString;
        response.set_content(faultEnvelope(m_mailbox.webNamespace(), false, text, failure.fault),
                             "text/xml;charset=UTF-8");
    } else {
        std::lock_guard<std::mutex> lock(m_mutex);
        SoapAnswer answer = m_mailbox.handle(request.body, baseUrl());
        response.status = answer.status;
        response.set_content(answer.body, "text/xml;charset=UTF-8");
    }
    record(request, response.status);
}

void VoicemailPlatform::serveAudio(const httplib::Request& request, httplib::Response& response)
{
    // The digits name no call when they do not fit a serial: no truncation onto another call.
    const std::string digits = request.matches[1];
    unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, 10);
    unsigned serial = digits.size() <= 10 && parsed <= UINT_MAX ? unsigned(parsed) : 0;
    std::string audio;
    std::string id;
    AudioBehaviour behaviour;
    bool found = false;
    bool fail = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const VoicemailCall* call = m_mailbox.findBySerial(serial);
        if (call) {
            found = true;
            id = call->id;
            audio = call->audio;
            auto specific = m_audioByCall.find(call->id);
            AudioBehaviour& active =
                specific != m_audioByCall.end() ? specific->second : m_audioDefault;
            if (active.failFirst > 0) {
                active.failFirst--;
                fail = true;
            }
            behaviour = active;
        }
    }
    hold(behaviour.delayMs);
    if (!found || fail) {
        response.status = found ? behaviour.failStatus : 404;
        response.set_content(found ? "Unavailable" : "No such message", "text/plain");
    } else if (behaviour.noLength) {
        response.status = 200;
        auto data = std::make_shared<std::string>(std::move(audio));
        response.set_chunked_content_provider(
            "audio/amr", [data](size_t offset, httplib::DataSink& sink) {
                size_t n = std::min<size_t>(4096, data->size() - offset);
                sink.write(data->data() + offset, n);
                if (offset + n == data->size())
                    sink.done();
                return true;
            });
    } else {
        response.status = 200;
        size_t announced =
            behaviour.announcedLength >= 0 ? size_t(behaviour.announcedLength) : audio.size();
        size_t limit = audio.size();
        if (behaviour.closeAfter >= 0)
            limit = std::min(limit, size_t(behaviour.closeAfter));
        auto data = std::make_shared<std::string>(std::move(audio));
        // Bytes beyond `limit` are never sent: asking for them closes the connection.
        response.set_content_provider(
            announced, "audio/amr",
            [data, limit](size_t offset, size_t length, httplib::DataSink& sink) {
                if (offset >= limit)
                    return false;
                sink.write(data->data() + offset, std::min(length, limit - offset));
                return true;
            });
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_downloads.push_back(
            Download{id, request.path, request.get_param_value("format"), response.status});
    }
    record(request, response.status);
}

void VoicemailPlatform::serveReport(const httplib::Request& request, httplib::Response& response)
{
    UsageReport report = readUsageReport(request.body);
    report.signatureValid =
        usageSignatureMatches(request.get_header_value("X-Signature"), request.body, m_reportKey);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_reportStatuses.empty()) {
            report.status = m_reportStatuses.front();
            m_reportStatuses.pop_front();
        } else if (!report.signatureValid) {
            report.status = 403;
        } else if (!report.wellFormed || !report.hasOfflineCount) {
            report.status = 400;
        } else {
            report.status = 200;
        }
        m_reports.push_back(report);
    }
    response.status = report.status;
    response.set_content(report.status == 200 ? "OK" : "Refused", "text/plain");
    record(request, response.status);
}

JValue VoicemailPlatform::mailboxLocked() const
{
    return m_mailbox.toJson(baseUrl());
}

JValue VoicemailPlatform::mailbox() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return mailboxLocked();
}

JValue VoicemailPlatform::call(const std::string& id) const
{
    JValue calls = mailbox()["calls"];
    for (size_t i = 0; i < calls.arraySize(); i++) {
        if (calls[i]["id"].asString() == id)
            return calls[i];
    }
    return JValue();
}

JValue VoicemailPlatform::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    JValue list = JValue::array();
    for (const LoggedRequest& entry : m_requests) {
        JValue headers = JValue::object();
        for (const auto& header : entry.headers) {
            std::string value = header.second;
            if (headers.hasKey(header.first))
                value = headers[header.first].asString() + ", " + value;
            headers.put(header.first, value);
        }
        JValue item = JValue::object();
        item.put("method", entry.method);
        item.put("path", entry.path);
        item.put("headers", headers);
        item.put("body", entry.body);
        item.put("status", int32_t(entry.status));
        list.append(item);
    }
    return list;
}

JValue VoicemailPlatform::reports() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    JValue list = JValue::array();
    for (const UsageReport& report : m_reports)
        list.append(report.toJson());
    return list;
}

JValue VoicemailPlatform::downloads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    JValue list = JValue::array();
    for (const Download& download : m_downloads) {
        JValue item = JValue::object();
        item.put("id", download.id);
        item.put("path", download.path);
        item.put("format", download.format);
        item.put("status", int32_t(download.status));
        list.append(item);
    }
    return list;
}

std::string VoicemailPlatform::greeting() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mailbox.greeting;
}

VoicemailPlatform::SoapFailure VoicemailPlatform::soapFailureFromJson(const JValue& command)
{
    SoapFailure failure;
    failure.operation = stringOr(command, "operation", "");
    failure.count = intOr(command, "count", 1);
    failure.body = stringOr(command, "body", "");
    // A success status is allowed only with the body it answers (an answer of another shape,
    // say); without one it would look like success.
    if (command.hasKey("body") && command.hasKey("httpStatus")) {
        failure.httpStatus = intOr(command, "httpStatus", 0);
        if (failure.httpStatus < 200 || failure.httpStatus > 599)
            throw std::invalid_argument("\"httpStatus\" must be an HTTP status, 200 to 599");
    } else {
        failure.httpStatus =
            command.hasKey("httpStatus") ? failureStatusOr(command, "httpStatus", 0) : 0;
    }
    failure.fault = stringOr(command, "fault", "");
    failure.faultString = stringOr(command, "faultString", "");
    failure.malformed = boolOr(command, "malformed", false);
    failure.close = boolOr(command, "close", false);
    failure.delayMs = intOr(command, "delayMs", 0);
    int kinds =
        (failure.httpStatus != 0) + !failure.fault.empty() + failure.malformed + failure.close;
    if (kinds > 1 || (kinds == 0 && failure.delayMs == 0))
        throw std::invalid_argument(
            "failSoap needs one of \"httpStatus\", \"fault\", \"malformed\", \"close\", or a "
            "\"delayMs\"");
    if (failure.count < 1)
        throw std::invalid_argument("\"count\" must be at least 1");
    return failure;
}

VoicemailPlatform::AudioBehaviour VoicemailPlatform::audioBehaviourFromJson(const JValue& command)
{
    AudioBehaviour behaviour;
    behaviour.failFirst = intOr(command, "failFirst", 0);
    behaviour.failStatus = failureStatusOr(command, "failStatus", 404);
    behaviour.noLength = boolOr(command, "noLength", false);
    behaviour.announcedLength = longOr(command, "announcedLength", -1);
    behaviour.closeAfter = longOr(command, "closeAfter", -1);
    behaviour.delayMs = intOr(command, "delayMs", 0);
    return behaviour;
}

JValue VoicemailPlatform::control(const JValue& command)
{
    try {
        std::string name;
        if (!command.isObject() || !command["command"].asString(name))
            throw std::invalid_argument("a command is an object with a \"command\" text");
        return runCommand(name, command);
    } catch (const std::exception& e) {
        JValue answer = JValue::object();
        answer.put("returnValue", false);
        answer.put("errorCode", int32_t(kBadCommand));
        answer.put("errorText", e.what());
        return answer;
    }
}

JValue VoicemailPlatform::runCommand(const std::string& name, const JValue& command)
{
    JValue answer = success();
    if (name == "mailbox") {
        answer.put("mailbox", mailbox());
    } else if (name == "requests") {
        answer.put("requests", requests());
        std::lock_guard<std::mutex> lock(m_mutex);
        answer.put("held", int32_t(m_held));
    } else if (name == "reports") {
        answer.put("reports", reports());
    } else if (name == "downloads") {
        answer.put("downloads", downloads());
    } else if (name == "clearRequests") {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.clear();
        m_reports.clear();
        m_downloads.clear();
    } else if (name == "addCall") {
        VoicemailCall call = VoicemailCall::fromJson(command["call"]);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mailbox.addCall(std::move(call));
    } else if (name == "removeCall") {
        std::string id = stringOr(command, "id", "");
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& calls = m_mailbox.calls;
        auto before = calls.size();
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [&](const VoicemailCall& call) { return call.id == id; }),
                    calls.end());
        if (calls.size() == before)
            throw std::invalid_argument("no call " + id);
    } else if (name == "setAccount") {
        std::lock_guard<std::mutex> lock(m_mutex);
        readAccount(command, m_mailbox.account);
    } else if (name == "failSoap") {
        SoapFailure failure = soapFailureFromJson(command);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_soapFailures.push_back(failure);
    } else if (name == "setAudio") {
        AudioBehaviour behaviour = audioBehaviourFromJson(command);
        std::string id = stringOr(command, "id", "");
        std::lock_guard<std::mutex> lock(m_mutex);
        if (id.empty()) {
            m_audioDefault = behaviour;
            m_audioByCall.clear();
        } else {
            m_audioByCall[id] = behaviour;
        }
    } else if (name == "recover") {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_soapFailures.clear();
            m_audioDefault = AudioBehaviour();
            m_audioByCall.clear();
            m_reportStatuses.clear();
            m_recoveries++;
        }
        m_wake.notify_all();
    } else if (name == "failReport") {
        int status = failureStatusOr(command, "status", 500);
        int count = intOr(command, "count", 1);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = 0; i < count; i++)
            m_reportStatuses.push_back(status);
    } else {
        throw std::invalid_argument("unknown command " + name);
    }
    return answer;
}

} // namespace emu::vvm

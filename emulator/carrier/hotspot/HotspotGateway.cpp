// HotspotGateway: the emulated WISPr hotspot gateway, connectivity check and account creation.
#include "HotspotGateway.h"

#include <stdexcept>

namespace emu::hotspot
{

namespace
{
const char kLoginPath[] = "/wispr/login";
const char kLoginResultsPath[] = "/wispr/results";
const char kLogoffPath[] = "/wispr/logoff";
// The carrier's fixed paths, as the phone asks for them.
const char kConnectivityCheckPath[] = "/4o.zzz";
const char kAccountCreationPath[] = "/cgi-bin/abcd/jtranspa";

const long long kDefaultHugeBodyBytes = 2 * 1024 * 1024; // twice what the phone accepts
const long long kDefaultDelayMs = 1000;
const long long kDefaultDripGapMs = 100;
const int kDefaultErrorStatus = 500;

struct Route {
    const char* path;
    Endpoint endpoint;
    const char* method;
};
const Route kRoutes[] = {
    {kLoginPath, Endpoint::Login, "POST"},
    {kLoginResultsPath, Endpoint::LoginResults, "GET"},
    {kLogoffPath, Endpoint::Logoff, "GET"},
    {kConnectivityCheckPath, Endpoint::ConnectivityCheck, "GET"},
    {kAccountCreationPath, Endpoint::AccountCreation, "GET"},
};

const std::pair<Endpoint, const char*> kEndpointNames[] = {
    {Endpoint::Portal, "portal"},
    {Endpoint::Login, "login"},
    {Endpoint::LoginResults, "loginResults"},
    {Endpoint::Logoff, "logoff"},
    {Endpoint::ConnectivityCheck, "connectivityCheck"},
    {Endpoint::AccountCreation, "accountCreation"},
};
const std::pair<Misbehaviour::Kind, const char*> kKindNames[] = {
    {Misbehaviour::Kind::None, "none"},         {Misbehaviour::Kind::Silence, "silence"},
    {Misbehaviour::Kind::KeepOpen, "keepOpen"}, {Misbehaviour::Kind::EarlyClose, "earlyClose"},
    {Misbehaviour::Kind::HugeBody, "hugeBody"}, {Misbehaviour::Kind::Delay, "delay"},
    {Misbehaviour::Kind::Status, "status"},     {Misbehaviour::Kind::Drip, "drip"},
};
const std::pair<Connectivity, const char*> kConnectivityNames[] = {
    {Connectivity::Open, "open"},
    {Connectivity::Closed, "closed"},
    {Connectivity::Captive, "captive"},
};

template <typename T, size_t N>
const char* nameOf(const std::pair<T, const char*> (&names)[N], T value)
{
    for (const auto& [key, name] : names)
        if (key == value)
            return name;
    return "";
}

template <typename T, size_t N>
T valueOf(const std::pair<T, const char*> (&names)[N], const JValue& value, const std::string& what)
{
    for (const auto& [key, name] : names)
        if (value.isString() && value.asString() == name)
            return key;
    throw std::invalid_argument("hotspot settings: " + what + ": unknown value " +
                                value.stringify());
}

long long integer(const JValue& value, const std::string& what, long long min, long long max)
{
    int64_t number = 0;
    if (!value.asNumber(number) || number < min || number > max)
        throw std::invalid_argument("hotspot settings: " + what + ": not an integer from " +
                                    std::to_string(min) + " to " + std::to_string(max));
    return number;
}

std::string text(const JValue& value, const std::string& what)
{
    std::string out;
    if (!value.asString(out))
        throw std::invalid_argument("hotspot settings: " + what + ": not a string");
    return out;
}

bool flag(const JValue& value, const std::string& what)
{
    bool out = false;
    if (!value.asBool(out))
        throw std::invalid_argument("hotspot settings: " + what + ": not a boolean");
    return out;
}

// The phone sends the credentials as they are, so a separator in them would corrupt its form.
void checkCredential(const std::string& value, const char* what)
{
    bool bad = value.empty();
    for (unsigned char c : value)
        bad = bad || c <= ' ' || c == '&' || c == 0x7f;
    if (bad)
        throw std::invalid_argument(std::string("hotspot account: ") + what +
                                    " must be non-empty, without blanks, controls or '&'");
}

// The query travels in the WISPr page and in a shell-quoted env line, unescaped in both.
void checkQuery(const std::string& query)
{
    bool bad = query.empty();
    for (unsigned char c : query)
        bad = bad || c <= ' ' || c == 0x7f ||
              std::string("<>'\"#").find(char(c)) != std::string::npos;
    if (bad)
        throw std::invalid_argument("hotspot settings: loginQuery: must be non-empty, without "
                                    "blanks, controls or < > ' \" #");
}

// `amount`, or `fallback` when not given; above `max` it is refused.
long long bounded(long long amount, long long fallback, long long max, const char* what)
{
    if (amount <= 0)
        return fallback;
    if (amount > max)
        throw std::invalid_argument(std::string("hotspot misbehaviour: ") + what +
                                    " must be at most " + std::to_string(max));
    return amount;
}

Misbehaviour withDefaults(Misbehaviour misbehaviour)
{
    switch (misbehaviour.kind) {
    case Misbehaviour::Kind::HugeBody:
        misbehaviour.amount = bounded(misbehaviour.amount, kDefaultHugeBodyBytes, kMaxHugeBodyBytes,
                                      "hugeBody amount");
        break;
    case Misbehaviour::Kind::Delay:
        misbehaviour.amount =
            bounded(misbehaviour.amount, kDefaultDelayMs, kMaxDelayMs, "delay amount");
        break;
    case Misbehaviour::Kind::Drip:
        misbehaviour.amount =
            bounded(misbehaviour.amount, kDefaultDripGapMs, kMaxDripGapMs, "drip amount");
        break;
    case Misbehaviour::Kind::Status:
        if (misbehaviour.amount == 0)
            misbehaviour.amount = kDefaultErrorStatus;
        if (misbehaviour.amount < 100 || misbehaviour.amount > 599)
            throw std::invalid_argument("hotspot misbehaviour: status must be from 100 to 599");
        break;
    case Misbehaviour::Kind::None:
    case Misbehaviour::Kind::Silence:
    case Misbehaviour::Kind::KeepOpen:
    case Misbehaviour::Kind::EarlyClose:
        break;
    }
    return misbehaviour;
}

Misbehaviour parseMisbehaviour(const JValue& value, const std::string& what)
{
    if (value.isString())
        return withDefaults({valueOf(kKindNames, value, what), 0, -1});
    if (!value.isObject())
        throw std::invalid_argument("hotspot settings: " + what + ": not a kind or an object");
    Misbehaviour misbehaviour;
    for (const std::string& key : value.keys()) {
        if (key == "kind")
            misbehaviour.kind = valueOf(kKindNames, value[key], what + ".kind");
        else if (key == "amount")
            misbehaviour.amount = integer(value[key], what + ".amount", 0, 1LL << 32);
        else if (key == "times")
            misbehaviour.times = int(integer(value[key], what + ".times", -1, 1 << 30));
        else
            throw std::invalid_argument("hotspot settings: " + what + ": unknown key " + key);
    }
    return withDefaults(misbehaviour);
}

// The value of `name` in an "a=1&b=2" form, or "" (the phone does not URL-encode).
std::string formValue(const std::string& form, const std::string& name)
{
    size_t pos = 0;
    while (pos <= form.size()) {
        size_t end = form.find('&', pos);
        if (end == std::string::npos)
            end = form.size();
        std::string pair = form.substr(pos, end - pos);
        size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.compare(0, equals, name) == 0)
            return pair.substr(equals + 1);
        pos = end + 1;
    }
    return "";
}

Delivery deliveryOf(Misbehaviour::Kind kind)
{
    switch (kind) {
    case Misbehaviour::Kind::Silence:
        return Delivery::Silence;
    case Misbehaviour::Kind::KeepOpen:
        return Delivery::KeepOpen;
    case Misbehaviour::Kind::EarlyClose:
        return Delivery::EarlyClose;
    case Misbehaviour::Kind::Delay:
        return Delivery::Delay;
    case Misbehaviour::Kind::Drip:
        return Delivery::Drip;
    case Misbehaviour::Kind::None:
    case Misbehaviour::Kind::HugeBody:
    case Misbehaviour::Kind::Status:
        break;
    }
    return Delivery::Normal;
}

void pad(std::string& body, long long size)
{
    const std::string line(78, '.');
    while (body.size() + line.size() + 2 <= size_t(size))
        body += line + "\r\n";
    if (body.size() < size_t(size))
        body.append(size_t(size) - body.size(), '.');
}
} // namespace

HotspotGateway::HotspotGateway(const JValue& config) : m_random(std::random_device{}())
{
    const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++)
        m_sessionId += hex[m_random() % 16];
    uint16_t port = config.hasKey("port") ? uint16_t(integer(config["port"], "port", 0, 65535)) : 0;
    apply(config);
    // Held until the server is in place: a request may come in before the constructor returns.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_server = std::make_unique<RawHttpServer>(
        port, [this](const HttpRequest& request) { return handle(request); });
    m_port = m_server->port();
}

HotspotGateway::~HotspotGateway()
{
    // Joins the connection threads before the state they use goes.
    m_server.reset();
}

void HotspotGateway::apply(const JValue& settings)
{
    if (!settings.isObject())
        throw std::invalid_argument("hotspot settings: not an object");
    std::lock_guard<std::mutex> lock(m_mutex);
    Settings next = m_settings;
    std::vector<std::pair<std::string, std::string>> added;
    for (const std::string& key : settings.keys()) {
        JValue value = settings[key];
        if (key == "port") {
            continue;
        } else if (key == "loginQuery") {
            next.loginQuery = text(value, key);
            checkQuery(next.loginQuery);
        } else if (key == "loginResponseCode") {
            next.loginResponseCode = int(integer(value, key, 0, 999));
        } else if (key == "pendingPolls") {
            next.pendingPolls = int(integer(value, key, 0, 1 << 30));
        } else if (key == "connectivity") {
            next.connectivity = valueOf(kConnectivityNames, value, key);
        } else if (key == "lineEnds") {
            std::string ends = text(value, key);
            if (ends != "crlf" && ends != "lf")
                throw std::invalid_argument("hotspot settings: lineEnds: \"crlf\" or \"lf\"");
            next.shape.crlf = ends == "crlf";
        } else if (key == "xmlInComment") {
            next.shape.xmlInComment = flag(value, key);
        } else if (key == "issueAccounts") {
            next.issueAccounts = flag(value, key);
        } else if (key == "usernamePrefix") {
            next.usernamePrefix = text(value, key);
            checkCredential(next.usernamePrefix + "0", "usernamePrefix");
        } else if (key == "accounts") {
            if (!value.isArray())
                throw std::invalid_argument("hotspot settings: accounts: not an array");
            for (size_t i = 0; i < value.arraySize(); i++) {
                std::string username = text(value[i]["username"], "accounts.username");
                std::string password = text(value[i]["password"], "accounts.password");
                checkCredential(username, "username");
                checkCredential(password, "password");
                added.emplace_back(username, password);
            }
        } else if (key == "misbehave") {
            if (!value.isObject())
                throw std::invalid_argument("hotspot settings: misbehave: not an object");
            for (const std::string& name : value.keys()) {
                Endpoint endpoint = valueOf(kEndpointNames, JValue(name), "misbehave");
                Misbehaviour misbehaviour = parseMisbehaviour(value[name], "misbehave." + name);
                if (misbehaviour.kind == Misbehaviour::Kind::None || misbehaviour.times == 0)
                    next.misbehaviours.erase(endpoint);
                else
                    next.misbehaviours[endpoint] = misbehaviour;
            }
        } else {
            throw std::invalid_argument("hotspot settings: unknown key " + key);
        }
    }
    m_settings = std::move(next);
    for (auto& [username, password] : added)
        m_accounts[username] = {password, false};
}

std::string HotspotGateway::baseUrl() const
{
    if (!m_publicBaseUrl.empty())
        return m_publicBaseUrl;
    return "http://127.0.0.1:" + std::to_string(port());
}

std::string HotspotGateway::url(Endpoint endpoint) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    GatewayUrls all = urls();
    switch (endpoint) {
    case Endpoint::Portal:
        return all.portal;
    case Endpoint::Login:
        return all.login;
    case Endpoint::LoginResults:
        return all.loginResults;
    case Endpoint::Logoff:
        return all.logoff;
    case Endpoint::ConnectivityCheck:
        return baseUrl() + kConnectivityCheckPath;
    case Endpoint::AccountCreation:
        return baseUrl() + kAccountCreationPath;
    }
    return "";
}

GatewayUrls HotspotGateway::urls() const
{
    std::string base = baseUrl();
    return {base + "/", base + kLoginPath + "?" + m_settings.loginQuery,
            base + kLoginResultsPath + "?" + m_settings.loginQuery, base + kLogoffPath};
}

std::string HotspotGateway::redirectPage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return emu::hotspot::redirectPage(urls(), m_sessionId, m_settings.shape);
}

std::string HotspotGateway::settingsLines() const
{
    // The phone reaches both carrier endpoints at this one server; the paths are fixed.
    return "[Endpoints]\n"
           "ConnectivityCheckHost=" +
           baseUrl() + "\nAccountCreationHost=" + baseUrl() + "\n";
}

std::vector<std::pair<std::string, std::string>> HotspotGateway::envVariables() const
{
    return {{"HOTSPOT_GATEWAY_URL", baseUrl()},
            {"HOTSPOT_PORTAL_URL", url(Endpoint::Portal)},
            {"HOTSPOT_LOGIN_URL", url(Endpoint::Login)},
            {"HOTSPOT_CONNECTIVITY_CHECK_URL", url(Endpoint::ConnectivityCheck)},
            {"HOTSPOT_ACCOUNT_CREATION_URL", url(Endpoint::AccountCreation)}};
}

void HotspotGateway::setLoginResponseCode(int code)
{
    JValue settings = JValue::object();
    settings.put("loginResponseCode", JValue(code));
    apply(settings);
}

void HotspotGateway::setPendingPolls(int polls)
{
    JValue settings = JValue::object();
    settings.put("pendingPolls", JValue(polls));
    apply(settings);
}

void HotspotGateway::setConnectivity(Connectivity connectivity)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.connectivity = connectivity;
}

void HotspotGateway::setIssueAccounts(bool issue)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.issueAccounts = issue;
}

void HotspotGateway::addAccount(const std::string& username, const std::string& password)
{
    checkCredential(username, "username");
    checkCredential(password, "password");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[username] = {password, false};
}

void HotspotGateway::misbehave(Endpoint endpoint, const Misbehaviour& misbehaviour)
{
    Misbehaviour checked = withDefaults(misbehaviour);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (checked.kind == Misbehaviour::Kind::None || checked.times == 0)
        m_settings.misbehaviours.erase(endpoint);
    else
        m_settings.misbehaviours[endpoint] = checked;
}

void HotspotGateway::behave()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.misbehaviours.clear();
}

JValue HotspotGateway::status() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    JValue out = JValue::object();
    out.put("loggedIn", JValue(m_loggedIn));
    out.put("loginPending", JValue(m_loginPending));
    out.put("polls", JValue(m_polls));
    out.put("loginResponseCode", JValue(m_settings.loginResponseCode));
    out.put("pendingPolls", JValue(m_settings.pendingPolls));
    out.put("connectivity", JValue(nameOf(kConnectivityNames, m_settings.connectivity)));
    out.put("issueAccounts", JValue(m_settings.issueAccounts));
    out.put("requests", JValue(int64_t(m_requestCount)));
    return out;
}

JValue HotspotGateway::accounts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    JValue out = JValue::array();
    for (const auto& [username, account] : m_accounts) {
        JValue entry = JValue::object();
        entry.put("username", JValue(username));
        entry.put("password", JValue(account.password));
        entry.put("issued", JValue(account.issued));
        out.append(entry);
    }
    return out;
}

JValue HotspotGateway::requestLog() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    JValue out = JValue::array();
    for (const LoggedRequest& logged : m_log) {
        const HttpRequest& request = logged.request;
        JValue entry = JValue::object();
        entry.put("seq", JValue(int64_t(logged.seq)));
        entry.put("endpoint", JValue(logged.known ? nameOf(kEndpointNames, logged.endpoint) : ""));
        entry.put("method", JValue(request.method));
        entry.put("target", JValue(request.target));
        entry.put("path", JValue(request.path));
        entry.put("query", JValue(request.query));
        entry.put("version", JValue(request.version));
        JValue headers = JValue::object();
        for (const auto& [name, value] : request.headers)
            headers.put(name, JValue(value));
        entry.put("headers", headers);
        entry.put("body", JValue(request.body));
        entry.put("peer", JValue(request.peer));
        entry.put("malformed", JValue(request.malformed));
        entry.put("status", JValue(logged.status));
        entry.put("responseCode", logged.responseCode < 0 ? JValue() : JValue(logged.responseCode));
        entry.put("misbehaviour", JValue(nameOf(kKindNames, logged.misbehaviour)));
        entry.put("note", JValue(logged.note));
        out.append(entry);
    }
    return out;
}

void HotspotGateway::clearRequestLog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.clear();
}

Misbehaviour HotspotGateway::takeMisbehaviour(Endpoint endpoint)
{
    auto it = m_settings.misbehaviours.find(endpoint);
    if (it == m_settings.misbehaviours.end())
        return {};
    Misbehaviour taken = it->second;
    if (it->second.times > 0 && --it->second.times == 0)
        m_settings.misbehaviours.erase(it);
    return taken;
}

std::string HotspotGateway::issuePassword()
{
    const char alphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string password;
    for (int i = 0; i < 12; i++)
        password += alphabet[m_random() % (sizeof(alphabet) - 1)];
    return password;
}

HotspotGateway::Answer HotspotGateway::answerLogin(const HttpRequest& request)
{
    Answer answer;
    answer.contentType = "text/xml";
    std::string username = formValue(request.body, "UserName");
    auto account = m_accounts.find(username);
    int code = m_settings.loginResponseCode;
    if (request.query != m_settings.loginQuery) {
        code = 100;
        answer.note = "login query does not match";
    } else if (account == m_accounts.end() ||
               account->second.password != formValue(request.body, "Password")) {
        code = 100;
        answer.note = "unknown credentials";
    } else {
        answer.note = "credentials accepted";
    }
    m_loggedIn = code == 50;
    m_loginPending = code == 201;
    m_polls = 0;
    answer.responseCode = code;
    answer.body = authenticationReply(code, urls());
    return answer;
}

HotspotGateway::Answer HotspotGateway::answerPoll(const HttpRequest& request)
{
    Answer answer;
    answer.contentType = "text/xml";
    int code = 100;
    if (request.query != m_settings.loginQuery) {
        answer.note = "login query does not match";
    } else if (m_loginPending) {
        m_polls++;
        code = m_polls > m_settings.pendingPolls ? 50 : 201;
        m_loggedIn = code == 50;
        m_loginPending = code == 201;
    } else if (m_loggedIn) {
        code = 50;
    } else {
        answer.note = "no login pending";
    }
    answer.responseCode = code;
    answer.body = pollReply(code, urls());
    return answer;
}

HotspotGateway::Answer HotspotGateway::answerConnectivityCheck()
{
    Answer answer;
    bool open = m_settings.connectivity == Connectivity::Open ||
                (m_settings.connectivity == Connectivity::Captive && m_loggedIn);
    if (open) {
        answer.body = "<html><body>ABCd</body></html>\r\n";
    } else if (m_settings.connectivity == Connectivity::Closed) {
        answer.body = "<html><body>No access</body></html>\r\n";
        answer.note = "closed";
    } else {
        answer.status = 302;
        answer.location = urls().portal;
        answer.body = emu::hotspot::redirectPage(urls(), m_sessionId, m_settings.shape);
        answer.note = "captive";
    }
    return answer;
}

HotspotGateway::Answer HotspotGateway::answerAccountCreation()
{
    Answer answer;
    answer.contentType = "application/xml";
    if (!m_settings.issueAccounts) {
        answer.body = accountReply("", "");
        answer.note = "account creation refused";
        return answer;
    }
    std::string username = m_settings.usernamePrefix + std::to_string(1000000001 + m_issuedCount++);
    std::string password = issuePassword();
    m_accounts[username] = {password, true};
    answer.body = accountReply(username, password);
    answer.note = "issued " + username;
    return answer;
}

HttpReply HotspotGateway::handle(const HttpRequest& request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LoggedRequest logged;
    logged.seq = ++m_requestCount;
    logged.request = request;
    Answer answer;
    Misbehaviour misbehaviour;
    const Route* route = nullptr;
    for (const Route& candidate : kRoutes)
        if (request.path == candidate.path)
            route = &candidate;

    if (request.malformed) {
        answer.status = 400;
        answer.note = "malformed request";
    } else if (route && request.method != route->method) {
        logged.known = true;
        logged.endpoint = route->endpoint;
        answer.status = 405;
    } else if (!route && request.method != "GET") {
        answer.status = 404;
    } else {
        logged.known = true;
        logged.endpoint = route ? route->endpoint : Endpoint::Portal;
        misbehaviour = takeMisbehaviour(logged.endpoint);
    }

    if (misbehaviour.kind == Misbehaviour::Kind::Silence) {
        answer.note = "silent";
    } else if (misbehaviour.kind == Misbehaviour::Kind::Status) {
        answer.status = int(misbehaviour.amount);
    } else if (logged.known && answer.status == 200) {
        switch (logged.endpoint) {
        case Endpoint::Portal:
            if (request.path != "/") {
                answer.status = 302;
                answer.location = urls().portal;
            }
            answer.body = emu::hotspot::redirectPage(urls(), m_sessionId, m_settings.shape);
            break;
        case Endpoint::Login:
            answer = answerLogin(request);
            break;
        case Endpoint::LoginResults:
            answer = answerPoll(request);
            break;
        case Endpoint::Logoff:
            m_loggedIn = m_loginPending = false;
            answer.contentType = "text/xml";
            answer.body = logoffReply();
            answer.responseCode = 150;
            break;
        case Endpoint::ConnectivityCheck:
            answer = answerConnectivityCheck();
            break;
        case Endpoint::AccountCreation:
            answer = answerAccountCreation();
            break;
        }
    }
    if (answer.body.empty() && misbehaviour.kind != Misbehaviour::Kind::Silence) {
        std::string line = std::to_string(answer.status) + " " + reasonPhrase(answer.status);
        answer.body = "<html><body>" + line + "</body></html>\r\n";
    }
    answer.body = withLineEnds(answer.body, m_settings.shape);
    if (misbehaviour.kind == Misbehaviour::Kind::HugeBody)
        pad(answer.body, misbehaviour.amount);

    logged.status = misbehaviour.kind == Misbehaviour::Kind::Silence ? 0 : answer.status;
    logged.responseCode = answer.responseCode;
    logged.misbehaviour = misbehaviour.kind;
    logged.note = answer.note;
    m_log.push_back(std::move(logged));
    if (m_log.size() > kMaxLoggedRequests)
        m_log.pop_front();

    HttpReply reply;
    reply.delivery = deliveryOf(misbehaviour.kind);
    reply.amount = misbehaviour.amount;
    if (misbehaviour.kind != Misbehaviour::Kind::Silence)
        reply.text = httpResponse(answer.status, answer.contentType, answer.body, answer.location);
    return reply;
}

} // namespace emu::hotspot

// VoicemailMailbox: the subscriber's account and calls on the emulated voicemail platform, and
// the web-service operations that read and change them.
#include "VoicemailMailbox.h"

#include "AmrAudio.h"
#include "SoapXml.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace emu::vvm
{

namespace
{

// Ends an operation with a fault answer.
struct SoapFault {
    bool client;
    std::string text;
    std::string status;
};

SoapFault clientFault(const std::string& text)
{
    return SoapFault{true, text, "Generic_InvalidRequest"};
}

const char* const kFormats[] = {"AMR", "WAV_8B_8K", "MP3_8K", "MP3_16K", "MP3_24K"};
const char* const kStates[] = {"NEW_MSG", "ARC_MSG", "DEL_MSG", "NO_MSG"};
const char* const kTypes[] = {"VOCAL_MSG", "VIDEO_MSG", "FAX_MSG"};

template <size_t N> bool oneOf(const std::string& text, const char* const (&set)[N])
{
    return std::find(std::begin(set), std::end(set), text) != std::end(set);
}

std::string extensionOf(const std::string& format)
{
    if (format == "AMR")
        return ".amr";
    if (format == "WAV_8B_8K")
        return ".wav";
    return ".mp3";
}

// Strict RFC 4648 Base64: padding required, no line breaks or other characters.
bool decodeBase64(const std::string& text, std::string& out)
{
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned value = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; j++) {
            char c = text[i + j];
            size_t digit = alphabet.find(c);
            bool last = i + 4 == text.size();
            if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                padding++;
                digit = 0;
            } else if (digit == std::string::npos || padding) {
                return false;
            }
            value = value << 6 | unsigned(digit);
        }
        out += char(value >> 16);
        if (padding < 2)
            out += char(value >> 8 & 0xff);
        if (padding < 1)
            out += char(value & 0xff);
    }
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::invalid_argument("cannot read audio file " + path);
    std::ostringstream data;
    data << file.rdbuf();
    return data.str();
}

std::string stringKey(const JValue& json, const char* key, const std::string& fallback)
{
    if (!json.hasKey(key))
        return fallback;
    std::string text;
    if (!json[key].asString(text))
        throw std::invalid_argument(std::string("call key \"") + key + "\" must be a string");
    return text;
}

} // namespace

VoicemailCall VoicemailCall::fromJson(const JValue& json)
{
    if (!json.isObject())
        throw std::invalid_argument("a call must be an object");
    VoicemailCall call;
    call.id = stringKey(json, "id", "");
    if (call.id.empty())
        throw std::invalid_argument("a call needs an \"id\"");
    call.date = stringKey(json, "date", call.date);
    call.caller = stringKey(json, "caller", call.caller);
    call.state = stringKey(json, "state", call.state);
    if (!oneOf(call.state, kStates))
        throw std::invalid_argument("unknown call state " + call.state);
    call.format = stringKey(json, "format", call.format);
    if (json.hasKey("delivered") && !json["delivered"].asBool(call.delivered))
        throw std::invalid_argument("call key \"delivered\" must be a boolean");
    int64_t duration = 0;
    if (json.hasKey("duration") && !json["duration"].asNumber(duration))
        throw std::invalid_argument("call key \"duration\" must be a number");
    call.duration = duration;
    call.hasAudio = call.state != "NO_MSG";
    if (json.hasKey("audio") && !json["audio"].asBool(call.hasAudio))
        throw std::invalid_argument("call key \"audio\" must be a boolean");
    if (call.hasAudio) {
        std::string file = stringKey(json, "audioFile", "");
        call.audio = file.empty() ? makeAmrAudio(call.duration) : readFile(file);
    }
    return call;
}

VoicemailMailbox::VoicemailMailbox(const std::string& webNamespace, const std::string& codeProject)
    : m_namespace(webNamespace), m_codeProject(codeProject)
{
}

void VoicemailMailbox::addCall(VoicemailCall call)
{
    call.serial = m_nextSerial++;
    for (VoicemailCall& existing : calls) {
        if (existing.id == call.id) {
            existing = std::move(call);
            return;
        }
    }
    calls.push_back(std::move(call));
}

const VoicemailCall* VoicemailMailbox::findCall(const std::string& id) const
{
    for (const VoicemailCall& call : calls) {
        if (call.id == id)
            return &call;
    }
    return nullptr;
}

const VoicemailCall* VoicemailMailbox::findBySerial(unsigned serial) const
{
    for (const VoicemailCall& call : calls) {
        if (call.serial == serial && call.hasAudio)
            return &call;
    }
    return nullptr;
}

std::string VoicemailMailbox::audioUrl(const VoicemailCall& call, const std::string& baseUrl) const
{
    return baseUrl + "/vvm/audio/" + std::to_string(call.serial) + extensionOf(call.format);
}

JValue VoicemailMailbox::toJson(const std::string& baseUrl) const
{
    JValue jsonAccount = JValue::object();
    jsonAccount.put("exists", account.exists);
    jsonAccount.put("userId", account.userId);
    jsonAccount.put("subscribed", account.subscribed);
    jsonAccount.put("subscriptionPending", account.subscriptionPending);

    JValue jsonCalls = JValue::array();
    for (const VoicemailCall& call : calls) {
        JValue item = JValue::object();
        item.put("id", call.id);
        item.put("date", call.date);
        item.put("caller", call.caller);
        item.put("state", call.state);
        item.put("delivered", call.delivered);
        item.put("duration", int64_t(call.duration));
        item.put("format", call.format);
        item.put("audio", call.hasAudio);
        if (call.hasAudio) {
            item.put("audioUrl", audioUrl(call, baseUrl));
            item.put("audioSize", int64_t(call.audio.size()));
        }
        jsonCalls.append(item);
    }

    JValue jsonGreeting = JValue::object();
    jsonGreeting.put("set", hasGreeting);
    jsonGreeting.put("size", int64_t(greeting.size()));
    jsonGreeting.put("amr", isAmrAudio(greeting));

    JValue json = JValue::object();
    json.put("account", jsonAccount);
    json.put("calls", jsonCalls);
    json.put("greeting", jsonGreeting);
    return json;
}

namespace
{
// The operation element of a SOAP 1.1 request, or a client fault.
const xmlNode* operationElement(const XmlDocument& doc)
{
    const xmlNode* envelope = doc.root();
    if (!envelope)
        throw clientFault("Malformed request");
    if (!localNameIs(envelope, "Envelope") || !namespaceIs(envelope, kSoapEnvelopeNamespace))
        throw clientFault("Not a SOAP 1.1 envelope");
    const xmlNode* body = childElement(envelope, "Body");
    if (!namespaceIs(body, kSoapEnvelopeNamespace))
        throw clientFault("No SOAP body");
    const xmlNode* operation = firstElement(body);
    if (!operation)
        throw clientFault("Empty SOAP body");
    return operation;
}
} // namespace

std::string VoicemailMailbox::operationOf(const std::string& request)
{
    try {
        XmlDocument doc(request);
        return reinterpret_cast<const char*>(operationElement(doc)->name);
    } catch (const SoapFault&) {
        return std::string();
    }
}

SoapAnswer VoicemailMailbox::handle(const std::string& request, const std::string& baseUrl)
{
    try {
        XmlDocument doc(request);
        const xmlNode* call = operationElement(doc);
        std::string operation = reinterpret_cast<const char*>(call->name);
        if (!namespaceIs(call, m_namespace))
            throw clientFault("Unknown namespace for " + operation);
        if (textOf(childElement(call, "codeProjet")) != m_codeProject)
            throw SoapFault{true, "Unknown project code", "Generic_InvalidProject"};
        if (!account.exists)
            throw SoapFault{false, "User not found", "Generic_UserNotFound"};
        return SoapAnswer{200, dispatch(operation, call, baseUrl)};
    } catch (const SoapFault& fault) {
        return SoapAnswer{500, faultEnvelope(m_namespace, fault.client, fault.text, fault.status)};
    }
}

std::string VoicemailMailbox::dispatch(const std::string& operation, const xmlNode* request,
                                       const std::string& baseUrl)
{
    const std::string ok = element("out", "OK");
    if (operation == "subscribe")
        return answerEnvelope(m_namespace, operation, subscribeUser());
    if (operation == "getUserProfile") {
        return answerEnvelope(m_namespace, operation,
                              "<ns:out>" + element("userId", account.userId) +
                                  element("vvmInscription", account.subscribed ? "true" : "false") +
                                  element("inviteMessageDefaut", hasGreeting ? "false" : "true") +
                                  "</ns:out>");
    }
    if (operation == "setProfile")
        return answerEnvelope(m_namespace, operation, ok);
    if (operation == "setInviteMessage")
        return answerEnvelope(m_namespace, operation, setGreeting(request));
    if (operation == "getAllCallOpti")
        return answerEnvelope(m_namespace, operation, callList(request, baseUrl));
    if (operation == "getMessageVocalById")
        return answerEnvelope(m_namespace, operation, messageInfo(request, baseUrl));
    if (operation == "archiveCall")
        return answerEnvelope(m_namespace, operation, archive(request));
    if (operation == "deleteMultipleMessages") {
        std::vector<VoicemailCall*> chosen = selected(request);
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [&](const VoicemailCall& call) {
                                       return std::find(chosen.begin(), chosen.end(), &call) !=
                                              chosen.end();
                                   }),
                    calls.end());
        return answerEnvelope(m_namespace, operation, ok);
    }
    if (operation == "deliverMultipleMessages") {
        for (VoicemailCall* call : selected(request))
            call->delivered = true;
        return answerEnvelope(m_namespace, operation, ok);
    }
    throw clientFault("Unknown operation " + operation);
}

std::string VoicemailMailbox::subscribeUser()
{
    if (account.subscribed)
        throw SoapFault{false, "Already subscribed", "Subscribe_AlreadySubscribed"};
    if (account.subscriptionPending)
        throw SoapFault{false, "Subscription in progress", "Subscribe_RunningSubscription"};
    account.subscribed = true;
    return element("out", "OK");
}

std::string VoicemailMailbox::callList(const xmlNode* request, const std::string& baseUrl) const
{
    long long index = 0, count = -1;
    try {
        index = std::stoll(textOf(childElement(request, "index")));
        count = std::stoll(textOf(childElement(request, "nb")));
    } catch (const std::logic_error&) {
        throw clientFault("index and nb must be numbers");
    }
    if (index < 0 || count < -1)
        throw clientFault("index and nb out of range");

    std::string out = "<ns:out>";
    // Counted from `index` so that no sum of two request numbers can overflow.
    for (size_t i = size_t(index);
         i < calls.size() && (count < 0 || (long long)(i - size_t(index)) < count); i++) {
        const VoicemailCall& call = calls[i];
        out += "<ns:Call>" + element("dateAppel", call.date) + element("idCall", call.id) +
               element("msisdn", call.caller) + element("statutAppel", call.state);
        if (call.hasAudio) {
            out += "<ns:messageVocal>" + element("delivery", call.delivered ? "true" : "false") +
                   element("dureeMsg", std::to_string(call.duration)) +
                   element("formatMsg", call.format) + element("urlMsg", audioUrl(call, baseUrl)) +
                   "</ns:messageVocal>";
        }
        out += "</ns:Call>";
    }
    return out + "</ns:out>";
}

std::string VoicemailMailbox::messageInfo(const xmlNode* request, const std::string& baseUrl) const
{
    std::string format = textOf(childElement(request, "formatMsgVocal"));
    if (!oneOf(format, kFormats))
        throw clientFault("Unknown format " + format);
    const VoicemailCall* call = findCall(textOf(childElement(request, "idCall")));
    if (!call || !call->hasAudio)
        throw SoapFault{false, "No such message", "Generic_MessageNotFound"};
    // Each call's audio is kept in the one format it was recorded in.
    if (format != call->format)
        throw SoapFault{false, "Format not available", "Generic_FormatNotSupported"};
    // The address names the format asked for, so that a download shows which address it used.
    return "<ns:out>" + element("delivery", call->delivered ? "true" : "false") +
           element("dureeMsg", std::to_string(call->duration)) + element("formatMsg", format) +
           element("urlMsg", audioUrl(*call, baseUrl) + "?format=" + format) + "</ns:out>";
}

std::string VoicemailMailbox::archive(const xmlNode* request)
{
    if (!oneOf(textOf(childElement(request, "typeMessage")), kTypes))
        throw clientFault("Unknown message type");
    callOf(textOf(childElement(request, "idCall"))).state = "ARC_MSG";
    return element("out", "OK");
}

std::string VoicemailMailbox::setGreeting(const xmlNode* request)
{
    if (textOf(childElement(request, "format")) != "AMR")
        throw SoapFault{false, "Greetings are AMR", "Generic_FormatNotSupported"};
    if (textOf(childElement(request, "inviteType")) != "PRIMARY")
        throw clientFault("Unknown greeting type");
    std::string decoded;
    if (!decodeBase64(textOf(childElement(request, "content")), decoded))
        throw clientFault("Greeting content is not Base64");
    greeting = decoded;
    hasGreeting = true;
    return element("out", "OK");
}

// The calls named by selector/mesgIds/string; all of them must exist, or nothing changes.
std::vector<VoicemailCall*> VoicemailMailbox::selected(const xmlNode* request)
{
    const xmlNode* ids = childElement(childElement(request, "selector"), "mesgIds");
    if (!ids)
        throw clientFault("selector/mesgIds missing");
    std::vector<VoicemailCall*> chosen;
    for (const xmlNode* id = ids->children; id; id = id->next) {
        if (localNameIs(id, "string"))
            chosen.push_back(&callOf(textOf(id)));
    }
    return chosen;
}

VoicemailCall& VoicemailMailbox::callOf(const std::string& id)
{
    for (VoicemailCall& call : calls) {
        if (call.id == id)
            return call;
    }
    throw SoapFault{false, "No such message " + id, "Generic_MessageNotFound"};
}

} // namespace emu::vvm

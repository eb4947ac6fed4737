// KelVvmRequest: the operations of the carrier's voicemail web service (SOAP 1.1 over HTTP).
#include "KelVvmRequest.h"

#include "Base64.h"
#include "HttpRequest.h"
#include "KelVvmConstants.h"
#include "KelVvmLog.h"
#include "KelVvmResponseParser.h"
#include "KelVvmServiceValues.h"
#include "KelVvmSettings.h"
#include "KelVvmStop.h"

#include <new>

namespace
{

const char* const kSoapEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

// Escapes what would end a text or an attribute value; ordinary identifiers pass unchanged.
std::string xmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string projectElement()
{
    return "<web:codeProjet>" + KelVvmRequest::s_codeProject + "</web:codeProjet>";
}

std::string idsElement(const std::vector<std::string>& ids)
{
    std::string out = "<web:selector><web:mesgIds>";
    for (const std::string& id : ids)
        out += "<web:string>" + xmlEscape(id) + "</web:string>";
    return out + "</web:mesgIds></web:selector>";
}

// One attempt: a valid answer, or an exception.
std::unique_ptr<KelVvmResponse> attempt(HttpRequest& request, const std::string& envelope)
{
    long status = request.post(envelope.c_str());
    KLOG_DEBUG("Soap request response: (%ld) %s", status,
               LoggedPayload(request.response()).c_str());
    // SOAP 1.1 answers faults with 500.
    if (status != 200 && status != 500)
        throw HttpRequestException("Invalid status", 0);
    std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(request.response());
    if (response->getType() == RESPONSE_BAD)
        throw HttpRequestException("Invalid response", 0);
    return response;
}

// False, with the reason logged, for identifiers that cannot be sent.
bool sendable(const std::vector<std::string>& ids)
{
    try {
        KelVvmRequest::checkIds(ids);
        return true;
    } catch (const KelVvmRequestError& e) {
        KLOG_ERROR("Request not sent: %s", e.what());
        return false;
    }
}

} // namespace

void KelVvmRequest::checkIds(const std::vector<std::string>& ids)
{
    for (const std::string& id : ids) {
        if (id.size() > s_maxIdLength)
            throw KelVvmRequestError("Invalid message id: " + std::to_string(id.size()) +
                                     " bytes, at most " + std::to_string(s_maxIdLength));
        for (char c : id) {
            if ((unsigned char)c < 0x20 || c == 0x7f)
                throw KelVvmRequestError("Invalid message id: it holds a control byte");
        }
    }
}

std::string KelVvmRequest::s_vvmUrl = KelVvmSettings::instance().vvmUrl;
std::string KelVvmRequest::s_vvmQlfUrl = KelVvmSettings::instance().vvmQlfUrl;
std::string KelVvmRequest::s_webNamespace = KelVvmSettings::instance().webNamespace;
const std::string KelVvmRequest::s_codeProject = "QORVVM";

std::string KelVvmRequest::subscribeBody()
{
    return "<web:subscribe>" + projectElement() + "<web:callPSG>false</web:callPSG>" +
           "</web:subscribe>";
}

std::string KelVvmRequest::getUserProfileBody()
{
    return "<web:getUserProfile>" + projectElement() + "</web:getUserProfile>";
}

std::string KelVvmRequest::setUserProfileBody()
{
    return "<web:setProfile>" + projectElement() + "<web:toggles></web:toggles>" +
           "</web:setProfile>";
}

std::string KelVvmRequest::setInviteMessageBody(const char* data, size_t length)
{
    return "<web:setInviteMessage>" + projectElement() + "<web:format>AMR</web:format>" +
           "<web:content>" + Base64::encode(data, std::ptrdiff_t(length)) + "</web:content>" +
           "<web:inviteType>PRIMARY</web:inviteType>" + "</web:setInviteMessage>";
}

std::string KelVvmRequest::getAllMessagesBody()
{
    return "<web:getAllCallOpti>" + projectElement() + "<web:index>0</web:index>" +
           "<web:nb>-1</web:nb>" + "</web:getAllCallOpti>";
}

std::string KelVvmRequest::getMessageInfoBody(const std::string& id, const std::string& format)
{
    return "<web:getMessageVocalById>" + projectElement() + "<web:idCall>" + xmlEscape(id) +
           "</web:idCall>" + "<web:formatMsgVocal>" + xmlEscape(format) + "</web:formatMsgVocal>" +
           "</web:getMessageVocalById>";
}

std::string KelVvmRequest::archiveMessageBody(const std::string& id)
{
    return "<web:archiveCall>" + projectElement() + "<web:idCall>" + xmlEscape(id) +
           "</web:idCall>" + "<web:typeMessage>" + VOCAL_MESSAGE + "</web:typeMessage>" +
           "</web:archiveCall>";
}

std::string KelVvmRequest::deleteMessagesBody(const std::vector<std::string>& ids)
{
    return "<web:deleteMultipleMessages>" + projectElement() + idsElement(ids) +
           "</web:deleteMultipleMessages>";
}

std::string KelVvmRequest::deliverMessagesBody(const std::vector<std::string>& ids)
{
    return "<web:deliverMultipleMessages>" + projectElement() + idsElement(ids) +
           "</web:deliverMultipleMessages>";
}

std::string KelVvmRequest::envelope(const std::string& body)
{
    return std::string("<soapenv:Envelope xmlns:soapenv=\"") + kSoapEnvelopeNamespace +
           "\" xmlns:web=\"" + xmlEscape(s_webNamespace) + "\">" + "<soapenv:Header/>" +
           "<soapenv:Body>" + body + "</soapenv:Body>" + "</soapenv:Envelope>";
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::subscribe()
{
    std::string body = subscribeBody();
    KLOG_DEBUG("Subscribe Request: %s", LoggedPayload(body).c_str());
    return sendSoapRequest(body);
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::getUserProfile()
{
    return sendSoapRequest(getUserProfileBody());
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::setUserProfile()
{
    return sendSoapRequest(setUserProfileBody());
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::setInviteMessage(const char* data, size_t length)
{
    return sendSoapRequest(setInviteMessageBody(data, length));
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::getAllMessages()
{
    std::string body = getAllMessagesBody();
    KLOG_DEBUG("GetAllMessage Request: %s", LoggedPayload(body).c_str());
    return sendSoapRequest(body);
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::getMessageInfo(const std::string& id,
                                                              const std::string& format)
{
    if (!sendable({id}))
        return std::make_unique<KelVvmBadResponse>();
    std::string body = getMessageInfoBody(id, format);
    KLOG_DEBUG("GetMessageInfo Request: %s", LoggedPayload(body).c_str());
    return sendSoapRequest(body);
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::archiveMessage(const std::string& id)
{
    if (!sendable({id}))
        return std::make_unique<KelVvmBadResponse>();
    std::string body = archiveMessageBody(id);
    KLOG_DEBUG("ArchiveMessage Request: %s", LoggedPayload(body).c_str());
    return sendSoapRequest(body);
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::deleteMessage(const std::string& id)
{
    return deleteMessages({id});
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::deleteMessages(const std::vector<std::string>& ids)
{
    if (!sendable(ids))
        return std::make_unique<KelVvmBadResponse>();
    return sendSoapRequest(deleteMessagesBody(ids));
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::deliverMessage(const std::string& id)
{
    return deliverMessages({id});
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::deliverMessages(const std::vector<std::string>& ids)
{
    if (!sendable(ids))
        return std::make_unique<KelVvmBadResponse>();
    return sendSoapRequest(deliverMessagesBody(ids));
}

std::unique_ptr<KelVvmResponse> KelVvmRequest::sendSoapRequest(const std::string& body)
{
    KLOG_DEBUG("Send soap request: %s", LoggedPayload(body).c_str());
    const std::string text = envelope(body);
    KLOG_DEBUG("Send soap request length: %zu", text.size());

    std::unique_ptr<HttpRequest> request;
    try {
        request = std::make_unique<HttpRequest>(s_vvmUrl);
        // An empty value keeps the header off the wire: the service wants no SOAPAction, and
        // no "Expect: 100-continue" handshake delays the body.
        request->setRequestHeader("SOAPAction", "");
        request->setRequestHeader("Content-Type", "text/xml;charset=UTF-8");
        request->setRequestHeader("Content-Length", std::to_string(text.size()));
        // Kept connections carry the next exchanges: only then may the server keep this one.
        if (!HttpRequest::s_reuseConnections)
            request->setRequestHeader("Connection", "close");
        request->setRequestHeader("User-Agent", KelVvmServiceValues::s_userAgent);
        request->setRequestHeader("Expect", "");
    } catch (const std::bad_alloc&) {
        throw KelVvmRequestError("HttpRequest allocation failed");
    }
    request->m_interface = KelVvmServiceValues::s_wanIpAddress;

    const unsigned waits[] = {20, 30, 40, 50};
    for (int attemptNumber = 0;; attemptNumber++) {
        try {
            return attempt(*request, text);
        } catch (const HttpRequestException& e) {
            KLOG_WARNING("Soap request attempt %d failed: %s", attemptNumber + 1, e.what());
            if (!HttpRequest::mayRetry(e))
                return std::make_unique<KelVvmBadResponse>();
        } catch (const std::exception& e) {
            KLOG_WARNING("Soap request attempt %d failed: %s", attemptNumber + 1, e.what());
        }
        if (attemptNumber == 4 || KelVvmStop::requested())
            return std::make_unique<KelVvmBadResponse>();
        HttpRequest::s_sleepHook(waits[attemptNumber]);
    }
}

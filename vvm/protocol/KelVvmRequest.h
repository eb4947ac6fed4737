// KelVvmRequest: the operations of the carrier's voicemail web service (SOAP 1.1 over HTTP).
#ifndef KELVVMREQUEST_H
#define KELVVMREQUEST_H

#include "KelVvmResponse.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class KelVvmRequestError : public std::runtime_error
{
  public:
    explicit KelVvmRequestError(const std::string& text) : std::runtime_error(text) {}
};

class KelVvmRequest
{
  public:
    KelVvmRequest() = delete;

    // Each operation blocks until its exchange is over and returns the parsed answer, never
    // null: a KelVvmFaultResponse when the service reported a fault, a KelVvmBadResponse when
    // five attempts brought no valid answer, or at once when no attempt could succeed (see
    // checkIds, HttpRequest::mayRetry).
    static std::unique_ptr<KelVvmResponse> subscribe();
    static std::unique_ptr<KelVvmResponse> getUserProfile();
    static std::unique_ptr<KelVvmResponse> setUserProfile();
    // `data`: the recorded greeting, AMR bytes.
    static std::unique_ptr<KelVvmResponse> setInviteMessage(const char* data, size_t length);
    static std::unique_ptr<KelVvmResponse> getAllMessages();
    // `format`: one of the audio format constants.
    static std::unique_ptr<KelVvmResponse> getMessageInfo(const std::string& id,
                                                          const std::string& format);
    static std::unique_ptr<KelVvmResponse> archiveMessage(const std::string& id);
    static std::unique_ptr<KelVvmResponse> deleteMessage(const std::string& id);
    static std::unique_ptr<KelVvmResponse> deleteMessages(const std::vector<std::string>& ids);
    static std::unique_ptr<KelVvmResponse> deliverMessage(const std::string& id);
    static std::unique_ptr<KelVvmResponse> deliverMessages(const std::vector<std::string>& ids);

    // The longest call identifier sent: as long as a file name may be, since each identifier
    // also names its audio file.
    static const size_t s_maxIdLength = 255;
    // Throws KelVvmRequestError naming the fault when an identifier cannot be sent: longer than
    // s_maxIdLength bytes, or holding a control byte (a zero byte would cut the body short of
    // its announced length). The operations that take identifiers answer such a one with a
    // KelVvmBadResponse at once, without any exchange: no attempt could mend it.
    static void checkIds(const std::vector<std::string>& ids);

    // Wraps `body` in an envelope and posts it to s_vvmUrl, with up to five attempts. Throws
    // only KelVvmRequestError "HttpRequest allocation failed".
    static std::unique_ptr<KelVvmResponse> sendSoapRequest(const std::string& body);

    // The operation bodies and the envelope, without white space. Argument texts are
    // XML-escaped, so an identifier cannot add elements to a request.
    static std::string subscribeBody();
    static std::string getUserProfileBody();
    static std::string setUserProfileBody();
    static std::string setInviteMessageBody(const char* data, size_t length);
    static std::string getAllMessagesBody();
    static std::string getMessageInfoBody(const std::string& id, const std::string& format);
    static std::string archiveMessageBody(const std::string& id);
    static std::string deleteMessagesBody(const std::vector<std::string>& ids);
    static std::string deliverMessagesBody(const std::vector<std::string>& ids);
    static std::string envelope(const std::string& body);

    // Production platform; every request goes here. From the deployment settings at start.
    static std::string s_vvmUrl;
    // Qualification platform; no request uses it. From the deployment settings at start.
    static std::string s_vvmQlfUrl;
    // The web service's namespace URI, bound to the prefix "web". From the deployment settings.
    static std::string s_webNamespace;
    static const std::string s_codeProject;
};

#endif

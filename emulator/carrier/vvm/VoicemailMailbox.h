// VoicemailMailbox: the subscriber's account and calls on the emulated voicemail platform, and
// the web-service operations that read and change them.
#ifndef EMU_VOICEMAILMAILBOX_H
#define EMU_VOICEMAILMAILBOX_H

#include "vtjson.h"

#include <libxml/tree.h>

#include <string>
#include <vector>

namespace emu::vvm
{

struct VoicemailCall {
    std::string id;
    std::string date = "2010-06-21T14:05:09+02:00"; // XML-Schema date-time
    std::string caller;                             // a number, or "anonymous"
    std::string state = "NEW_MSG";                  // NEW_MSG, ARC_MSG, DEL_MSG, NO_MSG
    bool delivered = false;
    long long duration = 0; // seconds
    std::string format = "AMR";
    bool hasAudio = true; // false: a call without a recorded message
    std::string audio;    // the file served at the call's audio address
    unsigned serial = 0;  // names the audio address; assigned by the mailbox

    // Keys "id" (required), "date", "caller", "state", "delivered", "duration", "format",
    // "audio" (false for none; default: none for NO_MSG) and "audioFile" (a file to serve
    // instead of generated AMR). Throws std::invalid_argument.
    static VoicemailCall fromJson(const JValue& json);
};

struct VoicemailAccount {
    bool exists = true; // false: every operation faults with Generic_UserNotFound
    std::string userId = "33600000000";
    bool subscribed = false;
    bool subscriptionPending = false; // subscribe faults with Subscribe_RunningSubscription
};

struct SoapAnswer {
    int status;
    std::string body;
};

class VoicemailMailbox
{
  public:
    VoicemailMailbox(const std::string& webNamespace, const std::string& codeProject);

    // Answers one request envelope: 200 with the operation's answer, or 500 with a fault.
    // `baseUrl` prefixes the audio addresses.
    SoapAnswer handle(const std::string& request, const std::string& baseUrl);
    // The local name of the operation element of a request envelope; "" when there is none.
    static std::string operationOf(const std::string& request);

    void addCall(VoicemailCall call); // replaces a call of the same id
    const VoicemailCall* findCall(const std::string& id) const;
    const VoicemailCall* findBySerial(unsigned serial) const;
    std::string audioUrl(const VoicemailCall& call, const std::string& baseUrl) const;

    // {"account": {...}, "calls": [...], "greeting": {"set", "size", "amr"}}; no audio bytes.
    JValue toJson(const std::string& baseUrl) const;

    const std::string& webNamespace() const { return m_namespace; }

    VoicemailAccount account;
    std::vector<VoicemailCall> calls;
    bool hasGreeting = false;
    std::string greeting; // the last greeting set, decoded

  private:
    std::string dispatch(const std::string& operation, const xmlNode* request,
                         const std::string& baseUrl);
    std::string callList(const xmlNode* request, const std::string& baseUrl) const;
    std::string messageInfo(const xmlNode* request, const std::string& baseUrl) const;
    std::string subscribeUser();
    std::string archive(const xmlNode* request);
    std::string setGreeting(const xmlNode* request);
    std::vector<VoicemailCall*> selected(const xmlNode* request);
    VoicemailCall& callOf(const std::string& id);

    std::string m_namespace;
    std::string m_codeProject;
    unsigned m_nextSerial = 1;
};

} // namespace emu::vvm

#endif

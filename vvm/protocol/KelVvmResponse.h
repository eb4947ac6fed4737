// KelVvmResponse: one parsed answer of the voicemail web service, one class per kind of answer.
#ifndef KELVVMRESPONSE_H
#define KELVVMRESPONSE_H

#include "KelVvmMessage.h"
#include "vtjson.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

enum KelVvmResponseType {
    RESPONSE_OK = 0,
    RESPONSE_BAD = 1,
    RESPONSE_MESSAGES = 2,
    RESPONSE_MESSAGE_INFO = 3,
    RESPONSE_USER_PROFILE = 4,
    RESPONSE_FAULT = 5,
};

class KelVvmResponseException : public std::runtime_error
{
  public:
    explicit KelVvmResponseException(const std::string& text) : std::runtime_error(text) {}
};

// What a node inside the answer element is to the response reading it.
struct KelVvmPart {
    // The response's own number for the element; 0: ignored, with everything it holds.
    int id = 0;
    // A field: its whole text content (that of its descendants included) reaches onText when
    // it ends. Otherwise a container: its child nodes reach onChild.
    bool text = false;
};

// One child node of a container, as the parser meets it.
struct KelVvmNode {
    // Local name of an element (its prefix, when undeclared, makes it match nothing); null
    // for a text, CDATA, comment or processing-instruction node.
    const char* name;
    size_t length;
    // The first node of its parent, of whatever kind.
    bool first;

    // An element with the local name `other`, ASCII case-insensitively. `other` is made of
    // ASCII letters only: a byte then matches one of them exactly when it does with its
    // case bit set.
    template <size_t N> bool is(const char (&other)[N]) const
    {
        if (length != N - 1)
            return false;
        const uint64_t caseBits = 0x2020202020202020u;
        size_t i = 0;
        for (; i + 8 <= N - 1; i += 8) {
            uint64_t seen, wanted;
            std::memcpy(&seen, name + i, 8);
            std::memcpy(&wanted, other + i, 8);
            if ((seen | caseBits) != (wanted | caseBits))
                return false;
        }
        for (; i < N - 1; i++) {
            if ((name[i] | 0x20) != (other[i] | 0x20))
                return false;
        }
        return true;
    }
};

class KelVvmResponse
{
  public:
    virtual ~KelVvmResponse() = default;
    // The answer element's content as the parser streams it; only the parser calls these. The
    // answer element itself is the container kAnswer. `onChild` is called for each child node
    // of a container, `onText` when a field ends, `onEnd` when a container ends (`empty`: it
    // held no node). Each may throw KelVvmResponseException: the answer is then a bad one.
    virtual KelVvmPart onChild(int container, const KelVvmNode& node);
    virtual void onText(int field, const std::string& text);
    virtual void onEnd(int container, bool empty);
    virtual JValue toJson();
    virtual int getType() { return m_type; }

    int m_type;

    static const int kAnswer = 1;

  protected:
    explicit KelVvmResponse(int type) : m_type(type) {}
};

// An acknowledgement: "out" holds "OK", or nothing.
class KelVvmOkResponse : public KelVvmResponse
{
  public:
    KelVvmOkResponse() : KelVvmResponse(RESPONSE_OK) {}
    KelVvmPart onChild(int container, const KelVvmNode& node) override;
    void onText(int field, const std::string& text) override;
    JValue toJson() override;

    std::string m_out;
};

class KelVvmSubscribeResponse : public KelVvmOkResponse
{
};
class KelVvmSetUserProfileResponse : public KelVvmOkResponse
{
};
class KelVvmSetInviteResponse : public KelVvmOkResponse
{
};
class KelVvmDeliverMessageResponse : public KelVvmOkResponse
{
};
class KelVvmArchiveMessageResponse : public KelVvmOkResponse
{
};
class KelVvmDeleteMessagesResponse : public KelVvmOkResponse
{
};

class KelVvmGetUserProfileResponse : public KelVvmResponse
{
  public:
    KelVvmGetUserProfileResponse() : KelVvmResponse(RESPONSE_USER_PROFILE) {}
    KelVvmPart onChild(int container, const KelVvmNode& node) override;
    void onText(int field, const std::string& text) override;
    void onEnd(int container, bool empty) override;
    JValue toJson() override;

    std::string m_userId;
    bool m_vvmInscription = true;
    bool m_inviteMessageDefaut = true;
};

class KelVvmGetAllMessagesResponse : public KelVvmResponse
{
  public:
    KelVvmGetAllMessagesResponse() : KelVvmResponse(RESPONSE_MESSAGES) {}
    KelVvmPart onChild(int container, const KelVvmNode& node) override;
    void onText(int field, const std::string& text) override;
    void onEnd(int container, bool empty) override;
    JValue toJson() override;

    std::vector<KelVvmMessage> m_messages;

    // More calls than any answer within the parser's size bound holds make a bad answer.
    static constexpr size_t s_maxCalls = 10000;
};

class KelVvmGetMessageInfoResponse : public KelVvmResponse
{
  public:
    KelVvmGetMessageInfoResponse() : KelVvmResponse(RESPONSE_MESSAGE_INFO) {}
    KelVvmPart onChild(int container, const KelVvmNode& node) override;
    void onText(int field, const std::string& text) override;
    void onEnd(int container, bool empty) override;
    JValue toJson() override;

    KelVvmMessage m_message;
};

class KelVvmFaultResponse : public KelVvmResponse
{
  public:
    KelVvmFaultResponse() : KelVvmResponse(RESPONSE_FAULT) {}
    KelVvmPart onChild(int container, const KelVvmNode& node) override;
    void onText(int field, const std::string& text) override;
    JValue toJson() override;

    std::string m_faultCode;
    std::string m_faultString;
    std::string m_detailStatus;
};

class KelVvmBadResponse : public KelVvmResponse
{
  public:
    KelVvmBadResponse() : KelVvmResponse(RESPONSE_BAD) {}
    JValue toJson() override;
};

#endif

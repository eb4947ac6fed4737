// KelVvmResponse: one parsed answer of the voicemail web service, one class per kind of answer.
#ifndef KELVVMRESPONSE_H
#define KELVVMRESPONSE_H

#include "KelVvmMessage.h"
#include "vtjson.h"

#include <libxml/tree.h>

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

class KelVvmResponse
{
  public:
    virtual ~KelVvmResponse() = default;
    // Fills the object from the answer element `node` of `doc`; only the parser calls it.
    virtual void parse(xmlDoc* doc, xmlNode* node);
    virtual JValue toJson();
    virtual int getType() { return m_type; }

    int m_type;

  protected:
    explicit KelVvmResponse(int type) : m_type(type) {}
};

// An acknowledgement: "out" holds "OK", or nothing.
class KelVvmOkResponse : public KelVvmResponse
{
  public:
    KelVvmOkResponse() : KelVvmResponse(RESPONSE_OK) {}
    void parse(xmlDoc* doc, xmlNode* node) override;
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
    void parse(xmlDoc* doc, xmlNode* node) override;
    JValue toJson() override;

    std::string m_userId;
    bool m_vvmInscription = true;
    bool m_inviteMessageDefaut = true;
};

class KelVvmGetAllMessagesResponse : public KelVvmResponse
{
  public:
    KelVvmGetAllMessagesResponse() : KelVvmResponse(RESPONSE_MESSAGES) {}
    void parse(xmlDoc* doc, xmlNode* node) override;
    JValue toJson() override;

    std::vector<KelVvmMessage> m_messages;
};

class KelVvmGetMessageInfoResponse : public KelVvmResponse
{
  public:
    KelVvmGetMessageInfoResponse() : KelVvmResponse(RESPONSE_MESSAGE_INFO) {}
    void parse(xmlDoc* doc, xmlNode* node) override;
    JValue toJson() override;

    KelVvmMessage m_message;
};

class KelVvmFaultResponse : public KelVvmResponse
{
  public:
    KelVvmFaultResponse() : KelVvmResponse(RESPONSE_FAULT) {}
    void parse(xmlDoc* doc, xmlNode* node) override;
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

// The voicemail service's side of a whole-system run against nimbos-emulator.
#include "MailboxSession.h"

#include "KelVvmActivityMgr.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceApp.h"
#include "KelVvmSettings.h"
#include "TamoMessage.h"
#include "TestBus.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{

JValue parse(const std::string& text)
{
    JDomParser parser;
    parser.parse(text, JSchemaFragment("{\"type\":[\"object\",\"array\"]}"));
    return parser.getDom();
}

bool collect(TSHandle*, TSMessage* reply, void* context)
{
    static_cast<std::vector<std::string>*>(context)->push_back(TSMessageGetPayload(reply));
    return true;
}

} // namespace

MailboxSession::MailboxSession(const std::string& emulator, int calls, int seconds)
    : m_device(emulator, "kelvvm-e2e")
{
    m_media = m_device.stateDir() + "/voicemessages/";
    std::filesystem::create_directory(m_media);
    m_device.start();

    // What the service reads at start: its settings file and its media folder.
    KelVvmSettings settings;
    std::string error;
    EXPECT_TRUE(settings.load(m_device.env("KELVVM_CONFIG"), error)) << error;
    KelVvmRequest::s_vvmUrl = settings.vvmUrl;
    KelVvmRequest::s_webNamespace = settings.webNamespace;
    KelVvmActivity::s_reportUrl = settings.reportUrl;
    KelVvmServiceApp::s_mediaFolder = m_media;

    static const TSMethod methods[] = {{"smsNotification", handleSync, 0}, {}};
    EXPECT_TRUE(TSRegister("com.quor.kelvvm", &m_service, nullptr));
    EXPECT_TRUE(TSRegisterCategory(m_service, "/", methods, nullptr, nullptr, nullptr));
    EXPECT_TRUE(TSGmainAttach(m_service, nullptr, nullptr));
    KelVvmServiceApp::getInstance()->m_serviceHandle = m_service;
    EXPECT_TRUE(TSRegisterAnonymous(&m_client, nullptr));
    EXPECT_TRUE(TSGmainAttach(m_client, nullptr, nullptr));

    JValue mailbox = platform("mailbox")["mailbox"]["calls"];
    for (size_t i = 0; i < mailbox.arraySize(); i++)
        platform("removeCall", "{\"id\":\"" + mailbox[i]["id"].asString() + "\"}");
    for (int i = 0; i < calls; i++) {
        std::string id = std::to_string(5001 + i);
        m_callIds.push_back(id);
        platform("addCall", "{\"call\":{\"id\":\"" + id + "\",\"caller\":\"336000000" +
                                std::to_string(10 + i) +
                                "\",\"duration\":" + std::to_string(seconds) + "}}");
    }
}

MailboxSession::~MailboxSession()
{
    KelVvmActivityMgr::getInstance()->cleanActivities();
    KelVvmServiceApp::getInstance()->stopIdleTimer();
    KelVvmServiceApp::getInstance()->m_serviceHandle = nullptr;
    TamoMessage::dropPending(m_client);
    TamoMessage::dropPending(m_service);
    TSUnregister(m_client, nullptr);
    TSUnregister(m_service, nullptr);
}

bool MailboxSession::handleSync(TSHandle*, TSMessage* message, void*)
{
    KelVvmActivityMgr::getInstance()->queueActivity(new MailboxActivity(message));
    return true;
}

JValue MailboxSession::call(const std::string& uri, const std::string& payload)
{
    std::vector<std::string> replies;
    EXPECT_TRUE(TSCallOneReply(m_client, uri.c_str(), payload.c_str(), collect, &replies, nullptr,
                               nullptr));
    EXPECT_TRUE(runUntil([&] { return !replies.empty(); }, 60000)) << uri;
    return replies.empty() ? JValue() : parse(replies[0]);
}

JValue MailboxSession::synchronize()
{
    return call("quor://com.quor.kelvvm/smsNotification", "{}");
}

JValue MailboxSession::platform(const std::string& command, const std::string& payload)
{
    JValue answer = call("quor://com.quor.carrier.voicemail/emulator/" + command, payload);
    EXPECT_TRUE(answer["returnValue"].asBool()) << command << " " << answer.stringify();
    return answer;
}

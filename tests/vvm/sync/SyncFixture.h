// The work steps of an activity against the emulator's database service and voicemail platform
// on a private bus: a test activity, started by a bus call as the service's own handlers start
// theirs, runs one step and answers that call when it ends.
#ifndef SYNCFIXTURE_H
#define SYNCFIXTURE_H

#include "BusClient.h"
#include "DbService.h"
#include "HttpRequest.h"
#include "KelVvmActivity.h"
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "TamoMessage.h"
#include "TestBus.h"
#include "TestServiceHost.h"
#include "VoicemailPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Runs the step named by the starting call's "step": "sync", "subscribe" or "report" (which
// then completes). Reaching its own work, it records it and completes.
class StepActivity : public KelVvmActivity
{
  public:
    explicit StepActivity(TSMessage* message) : KelVvmActivity(message) {}
    void execute() override
    {
        std::string step = m_params["step"].asString();
        if (step == "sync") {
            syncMessages();
        } else if (step == "subscribe") {
            verifySubscription();
        } else {
            sendUsageReport();
            complete(true);
        }
    }
    void onWork() override
    {
        s_worked++;
        complete(true);
    }
    static int s_worked;
};

class SyncFixture : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        s_bus = new TestBus();
        TSHandle* kelvvm = nullptr;
        static const TSMethod methods[] = {{"run", handleRun, 0}, {}};
        ASSERT_TRUE(TSRegister("com.quor.kelvvm", &kelvvm, nullptr));
        ASSERT_TRUE(TSRegisterCategory(kelvvm, "/", methods, nullptr, nullptr, nullptr));
        ASSERT_TRUE(TSGmainAttach(kelvvm, nullptr, nullptr));
        s_host = new TestServiceHost();
        s_host->m_serviceHandle = kelvvm;
        s_client = new BusClient();
    }
    static void TearDownTestSuite()
    {
        delete s_client;
        s_client = nullptr;
        TamoMessage::dropPending(s_host->m_serviceHandle);
        TSUnregister(s_host->m_serviceHandle, nullptr);
        delete s_host;
        s_host = nullptr;
        delete s_bus;
        s_bus = nullptr;
    }

    void SetUp() override
    {
        JValue config = JValue::object();
        config.put("file", ":memory:");
        m_db = std::make_unique<emulator::DbService>(config, emulator::DeviceContext());
        std::string error;
        ASSERT_TRUE(m_db->start(error)) << error;

        char pattern[] = "/tmp/kelvvm-sync-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_media = m_root + "/media/";
        std::filesystem::create_directory(m_media);
        KelVvmServiceValues::s_mediaFolder = m_media;
        KelVvmServiceValues::s_userAgent = "KelVvmTest/1.0";
        KelVvmServiceValues::s_wanIpAddress = "127.0.0.1";
        KelVvmServiceValues::s_deviceUid = "D";
        KelVvmServiceValues::s_modelName = "Nimbos smartphone";
        KelVvmServiceValues::s_platformVersion = "2.0";
        KelVvmServiceValues::s_offlineCounter = 0;
        KelVvmServiceValues::s_accountStatus.clear();
        StepActivity::s_worked = 0;
        s_waits.clear();
        HttpRequest::s_sleepHook = [](unsigned seconds) { s_waits.push_back(seconds); };
        s_log.clear();
        QmLogSetLevel(gLogContext, QMLOG_LEVEL_DEBUG);
        QmLogSetCapture([](const char*, int, const char* line, void*) { s_log.push_back(line); },
                        nullptr);
    }

    void TearDown() override
    {
        QmLogSetCapture(nullptr, nullptr);
        EXPECT_TRUE(runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }))
            << "an activity outlived its test";
        KelVvmActivityMgr::getInstance()->cleanActivities();
        m_platform.reset();
        m_db->stop();
        m_db.reset();
        std::filesystem::remove_all(m_root);
    }

    // `calls`: the mailbox, a JSON array in the platform's configuration format; the account is
    // subscribed unless `account` says otherwise.
    void startPlatform(const std::string& calls,
                       const std::string& account = "{\"subscribed\":true}")
    {
        m_platform = std::make_unique<emu::vvm::VoicemailPlatform>(
            parseJson("{\"namespace\":\"http://ws.test.invalid/\",\"account\":" + account +
                      ",\"calls\":" + calls + "}"));
        m_platform->start();
        KelVvmRequest::s_vvmUrl = m_platform->serviceUrl();
        KelVvmRequest::s_webNamespace = "http://ws.test.invalid/";
        KelVvmActivity::s_reportUrl = m_platform->reportUrl();
    }
    JValue control(const std::string& command)
    {
        JValue answer = m_platform->control(parseJson(command));
        EXPECT_TRUE(answer["returnValue"].asBool()) << command << " " << answer.stringify();
        return answer;
    }
    // The SOAP operations the platform was asked for, in order.
    std::vector<std::string> operations() const
    {
        std::vector<std::string> names;
        JValue requests = m_platform->requests();
        for (size_t i = 0; i < requests.arraySize(); i++) {
            if (requests[i]["path"].asString() == emu::vvm::VoicemailPlatform::s_servicePath)
                names.push_back(
                    emu::vvm::VoicemailMailbox::operationOf(requests[i]["body"].asString()));
        }
        return names;
    }
    size_t countOf(const std::string& operation) const
    {
        std::vector<std::string> names = operations();
        return size_t(std::count(names.begin(), names.end(), operation));
    }

    // Runs one step in a fresh activity and returns the answer to its starting call.
    JValue run(const std::string& step)
    {
        return s_client->call("quor://com.quor.kelvvm/run", "{\"step\":\"" + step + "\"}");
    }

    JValue db(const std::string& method, const std::string& payload)
    {
        return s_client->call("quor://com.quor.db/" + method, payload);
    }
    JValue find(const std::string& kind)
    {
        return db("find", "{\"query\":{\"from\":\"" + kind + "\"}}")["results"];
    }
    // A message record as the service stores it, with only the keys the reconciliation reads.
    // `extra` adds keys to the record.
    std::string putRecord(const std::string& id, bool read, const std::string& extra = "")
    {
        JValue reply =
            db("put", std::string("{\"objects\":[{\"_kind\":\"com.quor.vvm."
                                  "kelmessages:1\",\"id\":\"") +
                          id + "\",\"read\":" + (read ? "true" : "false") + extra + "}]}");
        return reply["results"][0]["id"].asString();
    }
    void putMailbox()
    {
        db("put", "{\"objects\":[{\"_kind\":\"com.quor.vvm.kelmailbox:1\",\"status\":\"none\"}]}");
    }
    JValue mailbox() { return find("com.quor.vvm.kelmailbox:1")[0]; }
    // The stored message records by call identifier, the first of each.
    std::map<std::string, JValue> messages()
    {
        std::map<std::string, JValue> byId;
        JValue records = find("com.quor.vvm.kelmessages:1");
        for (size_t i = 0; i < records.arraySize(); i++)
            byId.emplace(records[i]["id"].asString(), records[i]);
        return byId;
    }
    bool logged(const std::string& text) const
    {
        return std::any_of(s_log.begin(), s_log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    static bool handleRun(TSHandle*, TSMessage* message, void*)
    {
        KelVvmActivityMgr::getInstance()->queueActivity(new StepActivity(message));
        return true;
    }

    static TestBus* s_bus;
    static TestServiceHost* s_host;
    static BusClient* s_client;
    static std::vector<unsigned> s_waits;
    static std::vector<std::string> s_log;
    std::unique_ptr<emulator::DbService> m_db;
    std::unique_ptr<emu::vvm::VoicemailPlatform> m_platform;
    std::string m_root;
    std::string m_media;
};

#endif

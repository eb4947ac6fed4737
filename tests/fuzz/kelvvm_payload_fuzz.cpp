// Fuzz target: the payload of each kelvvm bus method, through the service's own method table on
// a private bus where no other service runs, so every activity's first request fails at once
// and nothing reaches the network. The first byte picks the method, the rest is the payload.
// Every call the bus delivers must be answered with one JSON text (ping: the payload itself),
// and every activity it starts must end. "test" is left out: its operations are SOAP exchanges.
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmServiceApp.h"
#include "TestBus.h"
#include "vtjson.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace
{
const char* const kMethods[] = {
    "ping",          "scheduled",       "readMessage",     "setGreeting",
    "deleteMessage", "refreshMessages", "smsNotification", "simStatusQuery"};

void dropLine(const char*, int, const char*, void*) {}

bool collect(TSHandle*, TSMessage* reply, void* context)
{
    *static_cast<std::string*>(context) = TSMessageGetPayload(reply);
    return true;
}

TSHandle* setUp()
{
    QmLogSetLevel(gLogContext, QMLOG_LEVEL_DEBUG);
    QmLogSetCapture(dropLine, nullptr);
    // The bus daemon is stopped when the process exits.
    static std::unique_ptr<TestBus> bus(new TestBus());
    // An idle service would quit its loop and leave the bus.
    disableIdleTimer = true;
    KelVvmServiceApp::getInstance()->setupService();
    TSHandle* client = nullptr;
    if (!TSRegisterAnonymous(&client, nullptr) || !TSGmainAttach(client, nullptr, nullptr))
        std::abort();
    return client;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TSHandle* client = setUp();
    if (size == 0)
        return 0;
    const char* method = kMethods[data[0] % (sizeof kMethods / sizeof kMethods[0])];
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::string payload(text, strnlen(text, size - 1));
    std::string uri = std::string("quor://com.quor.kelvvm/") + method;
    std::string reply;
    // The caller's library sends only one JSON text, as the service's refuses any other.
    if (!TSCallOneReply(client, uri.c_str(), payload.c_str(), collect, &reply, nullptr, nullptr))
        return 0;
    // A call never goes silent. The bound is far beyond the few bus round trips a case takes.
    if (!runUntil([&] { return !reply.empty(); }, 30000))
        std::abort();
    if (std::strcmp(method, "ping") == 0) {
        if (reply != payload)
            std::abort();
    } else {
        JDomParser parser;
        bool ok = false;
        if (!parser.parse(reply, JSchemaFragment("{\"type\":\"object\"}")) ||
            !parser.getDom()["returnValue"].asBool(ok))
            std::abort();
    }
    if (!runUntil([] { return KelVvmActivityMgr::getInstance()->live() == 0; }, 30000))
        std::abort();
    return 0;
}

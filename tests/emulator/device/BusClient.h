// A client of the device services for tests: calls that wait for their replies.
#ifndef EMULATOR_TEST_BUSCLIENT_H
#define EMULATOR_TEST_BUSCLIENT_H

#include "TestBus.h"
#include "tamoservice.h"
#include "vtjson.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline JValue parseJson(const std::string& text)
{
    JDomParser parser;
    parser.parse(text, JSchemaFragment("{\"type\":[\"object\",\"array\"]}"));
    return parser.getDom();
}

// The replies of one call, in order.
struct Replies {
    std::vector<std::string> payloads;
    TSMessageToken token = 0;
    JValue at(size_t i) const { return i < payloads.size() ? parseJson(payloads[i]) : JValue(); }
};

inline bool collectReply(TSHandle*, TSMessage* reply, void* context)
{
    static_cast<Replies*>(context)->payloads.push_back(TSMessageGetPayload(reply));
    return true;
}

class BusClient
{
  public:
    BusClient()
    {
        EXPECT_TRUE(TSRegisterAnonymous(&m_handle, nullptr));
        EXPECT_TRUE(TSGmainAttach(m_handle, nullptr, nullptr));
    }
    ~BusClient() { TSUnregister(m_handle, nullptr); }
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // The first reply within `patienceMs`; null when none came.
    JValue call(const std::string& uri, const std::string& payload, int patienceMs = 5000)
    {
        Replies replies;
        EXPECT_TRUE(TSCallOneReply(m_handle, uri.c_str(), payload.c_str(), collectReply, &replies,
                                   &replies.token, nullptr));
        bool answered = runUntil([&] { return !replies.payloads.empty(); }, patienceMs);
        EXPECT_TRUE(answered) << uri;
        // A late answer must not reach `replies` once it is gone.
        if (!answered)
            cancel(replies);
        return replies.at(0);
    }
    // A call that may bring many replies into `replies`; cancel with cancel().
    void start(const std::string& uri, const std::string& payload, Replies& replies)
    {
        EXPECT_TRUE(TSCall(m_handle, uri.c_str(), payload.c_str(), collectReply, &replies,
                           &replies.token, nullptr));
    }
    void cancel(Replies& replies) { TSCallCancel(m_handle, replies.token, nullptr); }

  private:
    TSHandle* m_handle = nullptr;
};

#endif

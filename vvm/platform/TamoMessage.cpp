// TamoMessage: one outstanding call to another bus service: one-shot, subscription or watch.
#include "TamoMessage.h"

#include "KelVvmLog.h"
#include "KelVvmUtils.h"

#include <unordered_set>
#include <vector>

namespace
{
const int32_t kSubscription = -1;
const int32_t kWatch = -2;

// The self-deleting wrappers still waiting for their reply; a reply frees them, and
// dropPending frees those whose reply will never come.
std::unordered_set<TamoMessage*>& pendingWrappers()
{
    static std::unordered_set<TamoMessage*> wrappers;
    return wrappers;
}
} // namespace

const char* const TamoMessage::s_messageSuccess = "{\"returnValue\":true}";
const char* const TamoMessage::s_messageFailure = "{\"returnValue\":false}";

TamoMessage::TamoMessage(TSHandle* handle, const std::string& uri, const std::string& payload,
                         TSMethodFunction callback, void* context, int count, bool autoDelete)
    : m_count(count), m_uri(uri), m_payload(payload), m_token(0), m_callback(callback),
      m_context(context), m_handle(handle), m_autoDelete(autoDelete)
{
    if (m_autoDelete)
        pendingWrappers().insert(this);
}

TamoMessage::~TamoMessage()
{
    if (m_autoDelete)
        pendingWrappers().erase(this);
    cancel();
}

void TamoMessage::dropPending(TSHandle* handle)
{
    std::vector<TamoMessage*> dropped;
    for (TamoMessage* wrapper : pendingWrappers()) {
        if (wrapper->m_handle == handle)
            dropped.push_back(wrapper);
    }
    for (TamoMessage* wrapper : dropped)
        delete wrapper;
}

void TamoMessage::issue()
{
    TSError error;
    TSErrorInit(&error);
    if (!TSCall(m_handle, m_uri.c_str(), m_payload.c_str(), messageCallback, this, &m_token,
                &error)) {
        std::string text = error.message ? error.message : "Bus call failed";
        TSErrorFree(&error);
        m_token = 0;
        throw TamoMessageException(text);
    }
}

TamoMessage* TamoMessage::request(TSHandle* handle, const std::string& uri,
                                  const std::string& payload, TSMethodFunction callback,
                                  void* context, int count, bool autoDelete)
{
    auto* message = new TamoMessage(handle, uri, payload, callback, context, count, autoDelete);
    KLOG_INFO("TamoMessage::request: %s - %s - %d", uri.c_str(), LoggedPayload(payload).c_str(),
              count);
    try {
        message->issue();
    } catch (...) {
        delete message;
        throw;
    }
    KLOG_DEBUG("TamoMessage::request token: %ld", long(message->m_token));
    return message;
}

TamoMessage* TamoMessage::subscribe(TSHandle* handle, const std::string& uri,
                                    const std::string& payload, TSMethodFunction callback,
                                    void* context)
{
    JValue parsed = vtjsonParse(payload);
    if (!parsed.hasKey("subscribe"))
        parsed.put("subscribe", true);
    return request(handle, uri, vtjsonToString(parsed), callback, context, kSubscription, false);
}

TamoMessage* TamoMessage::watch(TSHandle* handle, const std::string& uri,
                                const std::string& payload, TSMethodFunction callback,
                                void* context)
{
    return request(handle, uri, payload, callback, context, kWatch, false);
}

void TamoMessage::cancel()
{
    if (m_token == 0)
        return;
    KLOG_DEBUG("Cancel message: %ld", long(m_token));
    TSError error;
    TSErrorInit(&error);
    TSCallCancel(m_handle, m_token, &error);
    m_token = 0;
    TSErrorFree(&error);
}

void TamoMessage::passOn(TSHandle* handle, TSMessage* reply)
{
    if (!m_callback)
        return;
    // A throwing handler must neither reach the bus library nor skip the wrapper's own ending.
    try {
        m_callback(handle, reply, m_context);
    } catch (const std::exception& e) {
        KLOG_ERROR("Reply handler of a bus call failed: %s", e.what());
    } catch (...) {
        KLOG_ERROR("Reply handler of a bus call failed");
    }
}

void TamoMessage::onReply(TSHandle* handle, TSMessage* reply)
{
    if (m_count > 0) {
        m_count--;
        passOn(handle, reply);
        if (m_count == 0) {
            TSError error;
            TSErrorInit(&error);
            TSCallCancel(handle, m_token, &error);
            TSErrorFree(&error);
            m_token = 0;
            if (m_autoDelete)
                delete this;
        }
    } else if (m_count == kSubscription) {
        passOn(handle, reply);
    } else if (m_count == kWatch) {
        JValue parsed;
        try {
            parsed = vtjsonParse(TSMessageGetPayload(reply));
        } catch (const std::exception& e) {
            // Nothing a peer sends may escape into the bus library.
            KLOG_WARNING("Ignoring a watch reply that is not JSON: %s",
                         LoggedPayload(TSMessageGetPayload(reply)).c_str());
            return;
        }
        bool fired = false;
        if (parsed["fired"].asBool(fired) && fired) {
            cancel();
            try {
                issue();
            } catch (const TamoMessageException&) {
                m_token = 0;
            }
            return;
        }
        passOn(handle, reply);
    }
}

bool TamoMessage::messageCallback(TSHandle* handle, TSMessage* reply, void* wrapper)
{
    KLOG_INFO("TamoMessage::messageCallback: %s",
              LoggedPayload(TSMessageGetPayload(reply)).c_str());
    if (wrapper)
        static_cast<TamoMessage*>(wrapper)->onReply(handle, reply);
    return true;
}

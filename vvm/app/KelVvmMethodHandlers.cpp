// The bus methods that start activities: each wraps its call in a new activity and hands it
// to the activity manager, which answers the call.
#include "DeleteMessageActivity.h"
#include "KelVvmActivityMgr.h"
#include "KelVvmLog.h"
#include "KelVvmServiceApp.h"
#include "MessageRefreshActivity.h"
#include "ReadMessageActivity.h"
#include "ScheduledActivity.h"
#include "SetGreetingActivity.h"
#include "SimStatusActivity.h"
#include "SmsNotificationActivity.h"

namespace
{
enum class Handover { Queue, Adopt };

// A payload that is not a JSON object or array creates nothing: the caller learns why, and
// nothing thrown reaches the bus library.
const char* const kUnreadablePayload =
    "{\"returnValue\":false,\"errorCode\":666,\"errorText\":\"JSON parse exception\"}";

template <typename Activity>
bool startActivity(TSMessage* message, void* context, Handover handover)
{
    static_cast<KelVvmServiceApp*>(context)->stopIdleTimer();
    KelVvmActivityMgr* manager = KelVvmActivityMgr::getInstance();
    KelVvmActivity* activity = nullptr;
    try {
        activity = new Activity(message);
    } catch (const std::exception& e) {
        KLOG_ERROR("%s", e.what());
        TSError error;
        TSErrorInit(&error);
        if (!TSMessageRespond(message, kUnreadablePayload, &error))
            TSErrorFree(&error);
        // The timer was stopped for an activity that will never end it: re-arm it when
        // nothing else is alive.
        manager->processQueue();
        return true;
    }
    if (handover == Handover::Adopt)
        manager->adoptAndQueueActivity(activity);
    else
        manager->queueActivity(activity);
    return true;
}
} // namespace

bool KelVvmServiceApp::handleSetGreeting(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleSetGreeting: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<SetGreetingActivity>(message, context, Handover::Queue);
}

bool KelVvmServiceApp::handleSimStatusQuery(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleSimStatusQuery: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<SimStatusActivity>(message, context, Handover::Adopt);
}

bool KelVvmServiceApp::handleSmsNotification(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleSmsNotification: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<SmsNotificationActivity>(message, context, Handover::Queue);
}

bool KelVvmServiceApp::handleRefreshMessages(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleRefreshMessages: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<MessageRefreshActivity>(message, context, Handover::Queue);
}

bool KelVvmServiceApp::handleDeleteMessage(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleMessageDelete: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<DeleteMessageActivity>(message, context, Handover::Adopt);
}

bool KelVvmServiceApp::handleReadMessage(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleMessageRead: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<ReadMessageActivity>(message, context, Handover::Adopt);
}

bool KelVvmServiceApp::handleScheduled(TSHandle*, TSMessage* message, void* context)
{
    KLOG_INFO("handleScheduled: %s", LoggedPayload(TSMessageGetPayload(message)).c_str());
    return startActivity<ScheduledActivity>(message, context, Handover::Queue);
}

// KelVvmTestMethod: the diagnostic "test" method: one lower-layer operation, run at once.
#include "HttpRequest.h"
#include "KelVvmActivity.h"
#include "KelVvmConstants.h"
#include "KelVvmLog.h"
#include "KelVvmMediaFiles.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceApp.h"
#include "KelVvmSettings.h"
#include "KelVvmUtils.h"
#include "ZephDB.h"

#include <memory>
#include <string>
#include <vector>

namespace
{

const char* const kUnknownMethod = "Unknown method or invalid parameters";

// What one operation gives the reply: "returnValue", and "result" when a SOAP answer came.
struct Outcome {
    bool returnValue = true;
    std::unique_ptr<KelVvmResponse> response;
};

using Run = Outcome (*)(TSHandle* handle, const JValue& payload);

struct Operation {
    const char* method;
    Run run;
};

std::string textParam(const JValue& payload, const char* key)
{
    return payload[key].asString();
}

// "messageId", refused at once when no exchange could succeed with it.
std::string messageIdParam(const JValue& payload)
{
    std::string id = textParam(payload, "messageId");
    KelVvmRequest::checkIds({id});
    return id;
}

// "ids" is an array of texts; without it, an empty list. Refused as "messageId" is.
std::vector<std::string> idsParam(const JValue& payload)
{
    std::vector<std::string> ids;
    if (!payload.hasKey("ids"))
        return ids;
    JValue list = payload["ids"];
    if (!list.isArray())
        throw KelVvmServiceAppException(kUnknownMethod);
    for (size_t i = 0; i < list.arraySize(); i++) {
        std::string id;
        if (!list[i].asString(id))
            throw KelVvmServiceAppException(kUnknownMethod);
        ids.push_back(id);
    }
    KelVvmRequest::checkIds(ids);
    return ids;
}

ZephDBQuery voiceMessages()
{
    ZephDBQuery query;
    query.from(KelVvmServiceApp::s_voiceMessageKind);
    return query;
}

Outcome soapAnswer(std::unique_ptr<KelVvmResponse> response)
{
    Outcome outcome;
    outcome.response = std::move(response);
    return outcome;
}

// The method must not be a way to write any file for whoever reaches it: only plain files
// directly inside the media folder, or the diagnostic folder of the settings.
bool isDownloadLocationAllowed(const std::string& loc)
{
    const std::string& diagnostics = KelVvmSettings::instance().testDownloadFolder;
    return isFileInFolder(loc, KelVvmServiceApp::s_mediaFolder) ||
           (!diagnostics.empty() && isFileInFolder(loc, diagnostics));
}

Outcome downloadFile(TSHandle*, const JValue& payload)
{
    std::string loc = textParam(payload, "loc");
    if (!isDownloadLocationAllowed(loc))
        throw KelVvmServiceAppException("Download location outside the media folder: " + loc);
    // As the synchronization stores audio: what was at `loc` stays until the new file is
    // complete, and a link there is replaced, not written through. A URL that cannot be fetched
    // is refused before any attempt.
    HttpRequest request(textParam(payload, "url"));
    request.downloadReplacing(loc);
    Outcome outcome;
    outcome.returnValue = request.m_status == 200;
    return outcome;
}

Outcome clearMessages(TSHandle* handle, const JValue&)
{
    ZephDBQuery query = voiceMessages();
    ZephDB::del(handle, nullptr, nullptr, query, true);
    return Outcome();
}

Outcome markDontDelete(TSHandle* handle, bool dontDelete)
{
    ZephDBQuery query = voiceMessages();
    JValue props = JValue::object();
    props.put("kelDontDeleteFromServer", dontDelete);
    ZephDB::merge(handle, nullptr, nullptr, query, props);
    return Outcome();
}

Outcome markDontDeleteFromServer(TSHandle* handle, const JValue&)
{
    return markDontDelete(handle, true);
}

Outcome markDeleteFromServer(TSHandle* handle, const JValue&)
{
    return markDontDelete(handle, false);
}

Outcome createMailbox(TSHandle* handle, const JValue&)
{
    JValue mailbox = KelVvmActivity::newMailboxRecord("pending");
    mailbox.put("userId", "");
    ZephDB::put(handle, nullptr, nullptr, mailbox);
    return Outcome();
}

Outcome subscribe(TSHandle*, const JValue&)
{
    return soapAnswer(KelVvmRequest::subscribe());
}

Outcome getAllMessages(TSHandle*, const JValue&)
{
    return soapAnswer(KelVvmRequest::getAllMessages());
}

Outcome getMessageInfo(TSHandle*, const JValue& payload)
{
    return soapAnswer(KelVvmRequest::getMessageInfo(messageIdParam(payload), AMR_FORMAT));
}

Outcome archiveMessage(TSHandle*, const JValue& payload)
{
    return soapAnswer(KelVvmRequest::archiveMessage(messageIdParam(payload)));
}

Outcome deliverMessages(TSHandle*, const JValue& payload)
{
    return soapAnswer(KelVvmRequest::deliverMessages(idsParam(payload)));
}

Outcome deleteMessages(TSHandle*, const JValue& payload)
{
    return soapAnswer(KelVvmRequest::deleteMessages(idsParam(payload)));
}

// Reports the list it deleted; a fault or a bad answer deletes nothing.
Outcome deleteAllMessages(TSHandle*, const JValue&)
{
    std::unique_ptr<KelVvmResponse> list = KelVvmRequest::getAllMessages();
    if (list->getType() == RESPONSE_MESSAGES) {
        for (const KelVvmMessage& message :
             static_cast<KelVvmGetAllMessagesResponse&>(*list).m_messages)
            KelVvmRequest::deleteMessage(message.m_callId);
    }
    return soapAnswer(std::move(list));
}

Outcome getUserProfile(TSHandle*, const JValue&)
{
    return soapAnswer(KelVvmRequest::getUserProfile());
}

const Operation kOperations[] = {
    {"downloadFile", downloadFile},
    {"clearMessages", clearMessages},
    {"markDontDeleteFromServer", markDontDeleteFromServer},
    {"markDeleteFromServer", markDeleteFromServer},
    {"createMailbox", createMailbox},
    {"subscribe", subscribe},
    {"getAllMessages", getAllMessages},
    {"getMessageInfo", getMessageInfo},
    {"archiveMessage", archiveMessage},
    {"deliverMessages", deliverMessages},
    {"deleteMessages", deleteMessages},
    {"deleteAllMessages", deleteAllMessages},
    {"getUserProfile", getUserProfile},
};

void runOperation(TSHandle* handle, const std::string& text, JValue& reply)
{
    JValue payload = vtjsonParse(text);
    std::string method = textParam(payload, "method");
    for (const Operation& operation : kOperations) {
        if (method != operation.method)
            continue;
        Outcome outcome = operation.run(handle, payload);
        reply.put("returnValue", outcome.returnValue);
        if (outcome.response)
            reply.put("result", outcome.response->toJson());
        return;
    }
    // The SOAP operations always bring an answer, so only a method that names no operation
    // is left without an outcome.
    throw KelVvmServiceAppException(kUnknownMethod);
}

} // namespace

bool KelVvmServiceApp::handleTest(TSHandle*, TSMessage* message, void* context)
{
    const char* text = TSMessageGetPayload(message);
    KLOG_INFO("handleTest: %s", LoggedPayload(text).c_str());
    auto* app = static_cast<KelVvmServiceApp*>(context);
    JValue reply = JValue::object();
    app->stopIdleTimer();
    try {
        runOperation(app->m_serviceHandle, text, reply);
    } catch (const std::exception& e) {
        reply.put("returnValue", false);
        reply.put("error", e.what());
    }
    TSError error;
    TSErrorInit(&error);
    if (!TSMessageRespond(message, vtjsonToString(reply).c_str(), &error))
        TSErrorFree(&error);
    app->startIdleTimer(30);
    return true;
}

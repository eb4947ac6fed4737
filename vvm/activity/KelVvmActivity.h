// KelVvmActivity: one unit of work, its life cycle against the platform activity manager, and
// the slots of its work chain.
#ifndef KELVVMACTIVITY_H
#define KELVVMACTIVITY_H

#include "NoCopyClass.h"
#include "tamoservice.h"
#include "vtjson.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>

class KelVvmMessageRecords;
class TamoMessage;

class KelVvmActivityException : public std::runtime_error
{
  public:
    explicit KelVvmActivityException(const std::string& text) : std::runtime_error(text) {}
};

// Created by a bus handler or another activity and handed to KelVvmActivityMgr, which alone
// deletes it. It ends by calling exactly one of complete, fail or failAndReschedule; after that
// call it must not touch itself, since it may already be deleted.
class KelVvmActivity : public NoCopyClass
{
  public:
    static const std::string s_smsScheduledActivity;
    static const std::string s_refreshScheduledActivity;
    // Set on the mailbox record while its account is being erased.
    static const char* const s_erasingKey;
    // The usage report: the application-statistics endpoint (from the deployment settings) and
    // what the report says of the application and signs it with.
    static std::string s_reportUrl;
    static const std::string s_reportAppId;
    static const std::string s_reportAppVersion;
    static const std::string s_reportAppKey;

    // Takes a reference on `message` (may be null) and parses its payload; a payload that is
    // not a JSON object or array throws "JSON parse exception".
    explicit KelVvmActivity(TSMessage* message);
    virtual ~KelVvmActivity();

    virtual void adopt(long long activityId);
    virtual void complete(bool restart);
    virtual void fail(const std::string& errorText, int errorCode);
    virtual void failAndReschedule(const std::string& errorText, int errorCode);
    virtual void onAdopted();

    virtual void onStart() {}
    virtual void onStop() {}
    virtual void onPause() {}
    virtual void onCancel() {}
    virtual void onFocused() {}
    virtual void onUnfocused() {}
    virtual void onOrphan() {}
    virtual void onComplete() {}

    virtual void execute();
    // True when `other`, already queued, would do this activity's work: the manager then ends
    // this one at once. By default two activities of one type do the same work.
    virtual bool duplicates(const KelVvmActivity& other) const;

    // The work chain and the work steps, defined in vvm/sync.
    virtual void getMailbox();
    virtual void getImsi();
    virtual void getSimMccMnc();
    virtual void getDeviceUid();
    virtual void getUserAgent();
    virtual void getWanIp();
    virtual void verifySubscription();
    // The activity's own work; an activity that reaches the base fails, since nothing would
    // ever end it.
    virtual void onWork();
    virtual void wipeUserAccount();
    virtual void syncMessages();
    virtual void createMailbox();
    // A new mailbox record with `status` and every other field blank, as the chain and the
    // diagnostic method each store one, before the fields only they add.
    static JValue newMailboxRecord(const char* status);
    virtual void sendUsageReport();
    virtual void onGetMailbox(const JValue& reply);
    virtual void onGetImsi(const JValue& reply);
    virtual void onGetSimMccMnc(const JValue& reply);
    virtual void onGetDeviceUid(const JValue& reply);
    virtual void onGetUserAgent(const JValue& reply);
    virtual void onGetWanIp(const JValue& reply);
    virtual void onCreateMailbox(const JValue& reply);
    virtual void onHandleCurrentMessages(const JValue& reply);
    virtual void onGetMessagesToDelete(const JValue& reply);

    // Sends `payload` to the activity manager's "complete"; the activity ends when it answers,
    // or at once when the call cannot be made.
    void sendCompletion(JValue& payload);
    // Removes the audio file a message record names when `removeFile` (only a file of the media
    // folder) and marks the record "reallyDeleted", with "readMessage" false and no "audioPath";
    // fire and forget.
    void forgetMessage(const JValue& record, bool removeFile);
    // Carries the deletions the user made and nobody carried yet: each call goes from the
    // carrier when `listed` says the carrier may hold it and no live record still shows it;
    // each file goes unless a live record names it, and the record is marked carried. Stops at
    // the first deletion the carrier did not take, which stays pending, and returns false.
    bool carryDeletions(const KelVvmMessageRecords& records,
                        const std::function<bool(const std::string&)>& listed);
    // Purges every further record of a call, and its file unless a live record names it.
    void removeDuplicates(const KelVvmMessageRecords& records);

    // Merge into the mailbox record, selected by its kind; fire and forget.
    void updateMailbox(const std::string& key, const JValue& value);
    void updateMailbox(JValue& props);

    void dispatchEvent(const std::string& event);

    static bool adoptCallback(TSHandle* handle, TSMessage* reply, void* activity);
    static bool completeCallback(TSHandle* handle, TSMessage* reply, void* activity);

    // Issues a one-shot call whose reply reaches `handler` with this activity as context. The
    // activity owns the call: deleting it cancels the call, so no reply can reach a deleted
    // activity. `issue` makes the call with the function and context it is given and returns
    // its wrapper, which must be a one-shot call that deletes itself after its reply (a
    // TamoMessage::request or a ZephDB operation, count 1, auto-delete set): anything else is
    // cancelled and refused with std::logic_error, since its later replies would reach a
    // context that is gone. Throws what `issue` throws. Whatever `handler` throws ends the
    // activity with failAndReschedule(text, 666). Every call of an activity that has a reply
    // handler goes through here.
    using CallIssuer = std::function<TamoMessage*(TSMethodFunction function, void* context)>;
    void ownedCall(TSMethodFunction handler, const CallIssuer& issue);
    // The same for TamoMessage::request on m_serviceHandle.
    void ownedRequest(const std::string& uri, const std::string& payload, TSMethodFunction handler);

    // Names this activity for the whole process: unlike its address, never reused, so "is it
    // still alive" can be asked after it may have been deleted.
    uint64_t serial() const { return m_serial; }

    int64_t m_activityId;
    TSMessage* m_message;
    std::list<TamoMessage*> m_subscriptions;
    bool m_canCreateMailbox;
    bool m_wipingAccount;
    bool m_mailboxCreated;
    std::string m_retryActivityName;
    std::string m_retryInterval;
    int32_t m_activityType;
    JValue m_params;
    TSHandle* m_serviceHandle;

  private:
    struct OwnedCall;
    static bool ownedCallReply(TSHandle* handle, TSMessage* reply, void* call);
    void answer(const std::string& payload);

    // The first confirmation queues the activity; a repeated one (the "adopted" flag and the
    // "adopted" event both confirm) must not queue or restart it again.
    bool m_adoptionConfirmed;
    const uint64_t m_serial;
    std::list<std::unique_ptr<OwnedCall>> m_calls;
};

#endif

// The voicemail service's side of a whole-system run against nimbos-emulator: the program on its
// own bus, this process registered as the service on that bus with the emulator's settings, and
// an activity that may create the mailbox, started by a call as the phone starts one.
#ifndef MAILBOXSESSION_H
#define MAILBOXSESSION_H

#include "EmulatedDevice.h"
#include "KelVvmActivity.h"
#include "tamoservice.h"
#include "vtjson.h"

#include <string>
#include <vector>

// The work of a new-voicemail notification: the mailbox may be created, then the messages are
// synchronized.
class MailboxActivity : public KelVvmActivity
{
  public:
    explicit MailboxActivity(TSMessage* message) : KelVvmActivity(message)
    {
        m_canCreateMailbox = true;
    }
    void onWork() override { syncMessages(); }
};

class MailboxSession
{
  public:
    // Starts `emulator` in a fresh state folder and replaces its mailbox by `calls` calls with
    // `seconds` of audio each.
    MailboxSession(const std::string& emulator, int calls, int seconds);
    ~MailboxSession();
    MailboxSession(const MailboxSession&) = delete;
    MailboxSession& operator=(const MailboxSession&) = delete;

    // Calls `uri` and waits for its first reply; null when none came.
    JValue call(const std::string& uri, const std::string& payload);
    // Runs one activity from its starting call to its answer.
    JValue synchronize();
    // A control command of the emulated voicemail platform.
    JValue platform(const std::string& command, const std::string& payload = "{}");

    const std::string& mediaFolder() const { return m_media; }
    const std::vector<std::string>& callIds() const { return m_callIds; }

  private:
    static bool handleSync(TSHandle* handle, TSMessage* message, void* context);

    // Declared first, so that it goes last, after the bus handles.
    EmulatedDevice m_device;
    std::string m_media;
    TSHandle* m_service = nullptr;
    TSHandle* m_client = nullptr;
    std::vector<std::string> m_callIds;
};

#endif

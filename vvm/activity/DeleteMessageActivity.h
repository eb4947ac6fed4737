// DeleteMessageActivity: deletes on the carrier's platform, and on the device, every message
// the user deleted.
#ifndef DELETEMESSAGEACTIVITY_H
#define DELETEMESSAGEACTIVITY_H

#include "KelVvmMarksActivity.h"

class DeleteMessageActivity : public KelVvmMarksActivity
{
  public:
    explicit DeleteMessageActivity(TSMessage* message);

    void onWork() override;

    // Every voice-message record: each one marked "_del" and not yet "reallyDeleted" is deleted
    // on the server (unless a live record still shows its call), its audio file removed (unless
    // a live record names it), then merged as really deleted.
    static bool handleMessagesToDelete(TSHandle* handle, TSMessage* reply, void* activity);
};

#endif

// DeleteMessageActivity: deletes on the carrier's platform, and on the device, every message
// the user deleted.
#ifndef DELETEMESSAGEACTIVITY_H
#define DELETEMESSAGEACTIVITY_H

#include "KelVvmActivity.h"

class DeleteMessageActivity : public KelVvmActivity
{
  public:
    explicit DeleteMessageActivity(TSMessage* message);

    void onWork() override;

    // The records marked "_del" and not yet "reallyDeleted": each is deleted on the server,
    // its audio file removed, then merged as really deleted.
    static bool handleMessagesToDelete(TSHandle* handle, TSMessage* reply, void* activity);
};

#endif

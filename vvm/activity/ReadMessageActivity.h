// ReadMessageActivity: archives on the carrier's platform every message the user listened to.
#ifndef READMESSAGEACTIVITY_H
#define READMESSAGEACTIVITY_H

#include "KelVvmMarksActivity.h"

class ReadMessageActivity : public KelVvmMarksActivity
{
  public:
    explicit ReadMessageActivity(TSMessage* message);

    void onWork() override;

    // The records marked "readMessage": each is archived, then merged as read.
    static bool handleReadMessages(TSHandle* handle, TSMessage* reply, void* activity);
};

#endif

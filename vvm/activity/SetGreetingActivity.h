// SetGreetingActivity: uploads the user's recorded greeting to the carrier's platform.
#ifndef SETGREETINGACTIVITY_H
#define SETGREETINGACTIVITY_H

#include "KelVvmActivity.h"

// Payload: {"filePath": absolute path of the recorded greeting}; the bytes are sent as they
// are, declared as AMR. The file is only read.
class SetGreetingActivity : public KelVvmActivity
{
  public:
    explicit SetGreetingActivity(TSMessage* message);
    ~SetGreetingActivity() override = default;

    void onWork() override;
};

#endif

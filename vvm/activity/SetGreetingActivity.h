// SetGreetingActivity: uploads the user's recorded greeting to the carrier's platform.
#ifndef SETGREETINGACTIVITY_H
#define SETGREETINGACTIVITY_H

#include "KelVvmActivity.h"

#include <cstddef>

// Payload: {"filePath": absolute path of the recorded greeting}; the bytes are sent as they
// are, declared as AMR. The file is only read, and only when the caller's own user could read
// it: the service runs as root and anyone on the bus may call it.
class SetGreetingActivity : public KelVvmActivity
{
  public:
    // The largest greeting uploaded: about a minute and a half of AMR at its highest rate is a
    // few hundred kilobytes, so a mebibyte leaves room without letting a caller make the service
    // hold (and encode) an arbitrary file.
    static const size_t s_maxGreetingSize = 1024 * 1024;

    explicit SetGreetingActivity(TSMessage* message);
    ~SetGreetingActivity() override;

    // Asks the bus who the caller is; the upload follows in onCallerUid.
    void onWork() override;

  private:
    static void handleCallerUid(bool found, unsigned int uid, void* activity);
    void onCallerUid(bool found, unsigned int uid);

    std::string m_path;
    TSSenderUidQuery* m_uidQuery = nullptr;
};

#endif

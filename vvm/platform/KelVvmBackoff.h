// KelVvmBackoff: the wait asked of the activity manager after a failed run whose trigger still
// holds, kept across processes in the service's preferences.
#ifndef KELVVMBACKOFF_H
#define KELVVMBACKOFF_H

#include <string>

// The platform activities that carry the user's marks (listened, deleted) fire as long as a mark
// is pending. Without a wait, a run that fails for as long as a condition lasts (no SIM, abroad,
// no WAN) would be called again at once, endlessly; the process also ends between runs, so the
// wait is kept in the preferences.
class KelVvmBackoff
{
  public:
    static const char* const s_readKey;
    static const char* const s_deleteKey;

    // `key` names the wait in the preferences.
    explicit KelVvmBackoff(const char* key);

    // After a failed run: the wait before the next, a minute at first, doubling up to an hour,
    // in the activity manager's interval notation ("1m" ... "60m").
    std::string failed();
    // After a run that succeeded: the next failure waits a minute again.
    void reset();
    // Both waits, after a synchronization that carried every pending mark.
    static void resetAll();

  private:
    int nextSeconds();
    int stored();
    void store(int seconds);

    const char* m_key;
};

#endif

// KelVvmBackoff: the wait asked of the activity manager after a failed run whose trigger still
// holds, kept across processes in the service's preferences.
#include "KelVvmBackoff.h"

#include "KelVvmLog.h"
#include "tpprefs.h"

#include <cstdlib>
#include <map>

namespace
{
const char* const kAppId = "com.quor.kelvvm";
const int kFirstSeconds = 60;
const int kLastSeconds = 3600;

// What a store that cannot be written still keeps for this process.
std::map<std::string, int> s_unsaved;
} // namespace

const char* const KelVvmBackoff::s_readKey = "readBackoffSeconds";
const char* const KelVvmBackoff::s_deleteKey = "deleteBackoffSeconds";

KelVvmBackoff::KelVvmBackoff(const char* key) : m_key(key) {}

int KelVvmBackoff::stored()
{
    int seconds = 0;
    TPAppHandle* handle = nullptr;
    char* text = nullptr;
    if (TPAppGetHandle(kAppId, &handle) == TP_ERR_NONE &&
        TPAppCopyValue(handle, m_key, &text) == TP_ERR_NONE && text)
        seconds = atoi(text);
    TPFreeString(text);
    TPAppFreeHandle(handle);
    auto unsaved = s_unsaved.find(m_key);
    if (unsaved != s_unsaved.end() && unsaved->second > seconds)
        seconds = unsaved->second;
    return seconds < 0 ? 0 : seconds;
}

void KelVvmBackoff::store(int seconds)
{
    s_unsaved.erase(m_key);
    TPAppHandle* handle = nullptr;
    TPErr error = TPAppGetHandle(kAppId, &handle);
    if (error == TP_ERR_NONE)
        error = TPAppSetValue(handle, m_key, std::to_string(seconds).c_str());
    TPAppFreeHandle(handle);
    if (error != TP_ERR_NONE) {
        KLOG_WARNING("Cannot keep %s in the preferences (%d): kept for this process only", m_key,
                     int(error));
        s_unsaved[m_key] = seconds;
    }
}

int KelVvmBackoff::nextSeconds()
{
    int current = stored();
    if (current < kFirstSeconds)
        return kFirstSeconds;
    return current >= kLastSeconds / 2 ? kLastSeconds : current * 2;
}

std::string KelVvmBackoff::failed()
{
    int seconds = nextSeconds();
    store(seconds);
    return std::to_string(seconds / 60) + "m";
}

void KelVvmBackoff::reset()
{
    // Most runs succeed with nothing stored: no write for them.
    if (stored() != 0)
        store(0);
}

void KelVvmBackoff::resetAll()
{
    KelVvmBackoff(s_readKey).reset();
    KelVvmBackoff(s_deleteKey).reset();
}

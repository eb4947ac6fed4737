// KelVvmLog: every line of the service goes through one context, prefixed "(function:line) ".
#ifndef KELVVMLOG_H
#define KELVVMLOG_H

#include "qmlog.h"

#include <cstddef>
#include <string>

// The context named "kelvvm"; the entry point fetches it again, which gives the same context.
extern QmLogContext* gLogContext;

#define KLOG(level, format, ...) QMLOG(gLogContext, (level), format, ##__VA_ARGS__)
#define KLOG_CRITICAL(format, ...) KLOG(QMLOG_LEVEL_CRITICAL, format, ##__VA_ARGS__)
#define KLOG_ERROR(format, ...) KLOG(QMLOG_LEVEL_ERROR, format, ##__VA_ARGS__)
#define KLOG_WARNING(format, ...) KLOG(QMLOG_LEVEL_WARNING, format, ##__VA_ARGS__)
#define KLOG_NOTICE(format, ...) KLOG(QMLOG_LEVEL_NOTICE, format, ##__VA_ARGS__)
#define KLOG_INFO(format, ...) KLOG(QMLOG_LEVEL_INFO, format, ##__VA_ARGS__)
#define KLOG_DEBUG(format, ...) KLOG(QMLOG_LEVEL_DEBUG, format, ##__VA_ARGS__)

// What a log line shows of a payload, a body or any text from a peer: the text itself up to
// s_limit bytes, otherwise its first s_limit bytes followed by "... (cut, N bytes in all)". A
// caller may send tens of megabytes, and each call would otherwise put them whole into the log.
// Used as KLOG_INFO("label: %s", LoggedPayload(text).c_str()); a text within the limit is not
// copied.
class LoggedPayload
{
  public:
    static const size_t s_limit = 64 * 1024;

    explicit LoggedPayload(const char* text);
    explicit LoggedPayload(const std::string& text) : LoggedPayload(text.c_str(), text.size()) {}
    LoggedPayload(const LoggedPayload&) = delete;
    LoggedPayload& operator=(const LoggedPayload&) = delete;

    const char* c_str() const { return m_text; }

  private:
    LoggedPayload(const char* text, size_t length);

    std::string m_cut;
    const char* m_text;
};

#endif

// KelVvmLog: every line of the service goes through one context, prefixed "(function:line) ".
#ifndef KELVVMLOG_H
#define KELVVMLOG_H

#include "qmlog.h"

// The context named "kelvvm"; the entry point fetches it again, which gives the same context.
extern QmLogContext* gLogContext;

#define KLOG(level, format, ...) QMLOG(gLogContext, (level), format, ##__VA_ARGS__)
#define KLOG_CRITICAL(format, ...) KLOG(QMLOG_LEVEL_CRITICAL, format, ##__VA_ARGS__)
#define KLOG_ERROR(format, ...) KLOG(QMLOG_LEVEL_ERROR, format, ##__VA_ARGS__)
#define KLOG_WARNING(format, ...) KLOG(QMLOG_LEVEL_WARNING, format, ##__VA_ARGS__)
#define KLOG_NOTICE(format, ...) KLOG(QMLOG_LEVEL_NOTICE, format, ##__VA_ARGS__)
#define KLOG_INFO(format, ...) KLOG(QMLOG_LEVEL_INFO, format, ##__VA_ARGS__)
#define KLOG_DEBUG(format, ...) KLOG(QMLOG_LEVEL_DEBUG, format, ##__VA_ARGS__)

#endif

/* qmlog: named log contexts with levels, printed to syslog, standard error or a test hook. */
#ifndef QMLOG_H
#define QMLOG_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Levels follow syslog's numbers; a context prints a line when its level is at least the line's. */
enum {
    QMLOG_LEVEL_NONE = -1,
    QMLOG_LEVEL_CRITICAL = 2,
    QMLOG_LEVEL_ERROR = 3,
    QMLOG_LEVEL_WARNING = 4,
    QMLOG_LEVEL_NOTICE = 5,
    QMLOG_LEVEL_INFO = 6,
    QMLOG_LEVEL_DEBUG = 7,
};

/* Level of a new context. */
#define QMLOG_DEFAULT_LEVEL QMLOG_LEVEL_INFO

typedef struct QmLogContext QmLogContext;

/* Where printed lines go. The default is syslog; setting the environment variable
 * QMLOG_STDERR to a non-empty value before the first context is made selects standard error.
 * Where no system log listens (nothing at /dev/log), syslog lines go to standard error too,
 * rather than nowhere. */
typedef enum {
    QMLOG_SINK_SYSLOG,
    QMLOG_SINK_STDERR,
} QmLogSink;

/* Receives every printed line instead of the sink (tests). `line` has no trailing newline. */
typedef void (*QmLogCaptureFunc)(const char* context, int level, const char* line, void* user);

/* Returns the process-wide context of that name, made on first use; never NULL. */
QmLogContext* QmLogGetContext(const char* name);
const char* QmLogContextName(const QmLogContext* context);
void QmLogSetLevel(QmLogContext* context, int level);
int QmLogGetLevel(const QmLogContext* context);
int QmLogIsEnabled(const QmLogContext* context, int level);

void QmLogSetSink(QmLogSink sink);
/* NULL restores the sink. */
void QmLogSetCapture(QmLogCaptureFunc func, void* user);
/* Test hook: the socket the system log is looked for at (NULL: /dev/log); looked for again at
 * the next syslog line. */
void QmLogTestSetSyslogSocket(const char* path);

void QmLogPrint(QmLogContext* context, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* Prints `size` bytes as lines of sixteen hex bytes with their offset and their text. */
void QmLogDumpData(QmLogContext* context, int level, const void* data, size_t size);

/* Prefixes a message with "(function:line) ", the form every daemon line has. */
#define QMLOG(context, level, format, ...)                                                         \
    QmLogPrint((context), (level), "(%s:%d) " format, __func__, __LINE__, ##__VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif

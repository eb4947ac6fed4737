/* qmlog: named log contexts, leveled printing and hex dumps. */
#include "qmlog.h"

#include <ctype.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

struct QmLogContext {
    struct QmLogContext* next;
    /* Read on every line without the lock, so it must be atomic. */
    atomic_int level;
    char name[];
};

/* Contexts live until the process ends: callers keep the pointers in globals. */
static pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
static QmLogContext* s_contexts;
/* -1 until chosen, by QmLogSetSink or by the environment at the first context. */
static int s_sink = -1;
static int s_syslogOpen;
static QmLogCaptureFunc s_capture;
static void* s_captureUser;
static const char* s_syslogSocket = "/dev/log";
/* -1 until looked for at the first syslog line. */
static int s_syslogListening = -1;

static void chooseSinkLocked(void)
{
    if (s_sink < 0) {
        const char* env = getenv("QMLOG_STDERR");
        s_sink = (env && *env) ? QMLOG_SINK_STDERR : QMLOG_SINK_SYSLOG;
    }
}

QmLogContext* QmLogGetContext(const char* name)
{
    if (!name)
        name = "";
    pthread_mutex_lock(&s_lock);
    chooseSinkLocked();
    QmLogContext* context = s_contexts;
    while (context && strcmp(context->name, name) != 0)
        context = context->next;
    if (!context) {
        size_t size = strlen(name) + 1;
        context = malloc(sizeof(*context) + size);
        if (!context)
            abort();
        memcpy(context->name, name, size);
        atomic_init(&context->level, QMLOG_DEFAULT_LEVEL);
        context->next = s_contexts;
        s_contexts = context;
    }
    pthread_mutex_unlock(&s_lock);
    return context;
}

const char* QmLogContextName(const QmLogContext* context)
{
    return context ? context->name : "";
}

void QmLogSetLevel(QmLogContext* context, int level)
{
    if (context)
        atomic_store(&context->level, level);
}

int QmLogGetLevel(const QmLogContext* context)
{
    return context ? atomic_load(&context->level) : QMLOG_LEVEL_NONE;
}

int QmLogIsEnabled(const QmLogContext* context, int level)
{
    /* A negative line level is "none": it never prints, whatever the context's level. */
    return context && level >= 0 && atomic_load(&context->level) >= level;
}

void QmLogSetSink(QmLogSink sink)
{
    pthread_mutex_lock(&s_lock);
    s_sink = sink;
    pthread_mutex_unlock(&s_lock);
}

void QmLogSetCapture(QmLogCaptureFunc func, void* user)
{
    pthread_mutex_lock(&s_lock);
    s_capture = func;
    s_captureUser = func ? user : NULL;
    pthread_mutex_unlock(&s_lock);
}

static int syslogListening(void)
{
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (strlen(s_syslogSocket) >= sizeof(address.sun_path))
        return 0;
    strcpy(address.sun_path, s_syslogSocket);
    /* The system logger listens on a datagram socket, or on a stream one. */
    const int types[] = {SOCK_DGRAM, SOCK_STREAM};
    for (size_t i = 0; i < sizeof(types) / sizeof(types[0]); i++) {
        int fd = socket(AF_UNIX, types[i] | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        int connected = connect(fd, (const struct sockaddr*)&address, sizeof(address)) == 0;
        close(fd);
        if (connected)
            return 1;
    }
    return 0;
}

void QmLogTestSetSyslogSocket(const char* path)
{
    pthread_mutex_lock(&s_lock);
    s_syslogSocket = path ? path : "/dev/log";
    s_syslogListening = -1;
    pthread_mutex_unlock(&s_lock);
}

static void emit(QmLogContext* context, int level, const char* line)
{
    pthread_mutex_lock(&s_lock);
    chooseSinkLocked();
    QmLogCaptureFunc capture = s_capture;
    void* user = s_captureUser;
    int sink = s_sink;
    if (!capture && sink == QMLOG_SINK_SYSLOG) {
        if (s_syslogListening < 0)
            s_syslogListening = syslogListening();
        if (!s_syslogListening)
            sink = QMLOG_SINK_STDERR;
    }
    if (!capture && sink == QMLOG_SINK_SYSLOG && !s_syslogOpen) {
        /* One ident per process: syslog keeps the pointer, and context names never go away. */
        openlog(context->name, LOG_PID, LOG_USER);
        s_syslogOpen = 1;
    }
    pthread_mutex_unlock(&s_lock);

    /* Outside the lock, so that a hook may log in turn. */
    if (capture) {
        capture(context->name, level, line, user);
    } else if (sink == QMLOG_SINK_STDERR) {
        fprintf(stderr, "%s: %s\n", context->name, line);
    } else {
        int priority = level < LOG_EMERG ? LOG_EMERG : level > LOG_DEBUG ? LOG_DEBUG : level;
        syslog(priority, "%s", line);
    }
}

void QmLogPrint(QmLogContext* context, int level, const char* format, ...)
{
    if (!QmLogIsEnabled(context, level) || !format)
        return;
    char small[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (length < 0)
        return;
    if ((size_t)length < sizeof(small)) {
        emit(context, level, small);
        return;
    }
    char* large = malloc((size_t)length + 1);
    if (!large)
        abort();
    va_start(args, format);
    vsnprintf(large, (size_t)length + 1, format, args);
    va_end(args);
    emit(context, level, large);
    free(large);
}

/* Each line reads "00000010  41 42 43 ...  ABC...": the offset, sixteen hex bytes (a short last
 * line is padded so that the text column stays aligned) and the bytes as text, '.' for those
 * that do not print. */
void QmLogDumpData(QmLogContext* context, int level, const void* data, size_t size)
{
    if (!QmLogIsEnabled(context, level) || !data)
        return;
    const unsigned char* bytes = data;
    for (size_t offset = 0; offset < size; offset += 16) {
        char line[8 + 2 + 16 * 3 + 1 + 16 + 1];
        char* out = line + sprintf(line, "%08zx  ", offset);
        size_t count = size - offset < 16 ? size - offset : 16;
        for (size_t i = 0; i < 16; i++) {
            if (i < count)
                out += sprintf(out, "%02x ", bytes[offset + i]);
            else
                out += sprintf(out, "   ");
        }
        *out++ = ' ';
        for (size_t i = 0; i < count; i++) {
            unsigned char c = bytes[offset + i];
            *out++ = (c < 0x80 && isprint(c)) ? (char)c : '.';
        }
        *out = '\0';
        emit(context, level, line);
    }
}

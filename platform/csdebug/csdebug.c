/* csdebug: leveled printing, logged checks and hex dumps to syslog, a file or a test hook. */
#define _GNU_SOURCE
#include "csdebug.h"

#include <ctype.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#define DEFAULT_HEX_DUMP_LIMIT 0xffff
#define BYTES_PER_MIB (1024L * 1024L)

typedef enum {
    kSinkStderr,
    kSinkSyslog,
    kSinkFile,
} Sink;

/* The daemon is single-threaded, but tests print from helper threads. */
static pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
static Sink s_sink = kSinkStderr;
static int s_minimumLevel = kDebugLevelChatty;
static long s_hexDumpLimit = DEFAULT_HEX_DUMP_LIMIT;
static FILE* s_file;
/* The syslog identity (syslog keeps the pointer) or the file's path. */
static char* s_target;
static long s_fileCap;
static long s_fileSize;
static DebugCaptureFunc s_capture;
static char** s_secrets;
static size_t s_secretCount;
static void* s_captureUser;

static const struct {
    int level;
    const char* name;
    int priority;
} kLevelNames[] = {
    {kDebugLevelTragic, "tragic", LOG_EMERG},   {kDebugLevelEmergency, "emergency", LOG_EMERG},
    {kDebugLevelAlert, "alert", LOG_ALERT},     {kDebugLevelCritical, "critical", LOG_CRIT},
    {kDebugLevelError, "error", LOG_ERR},       {kDebugLevelRequire, "require", LOG_WARNING},
    {kDebugLevelAssert, "assert", LOG_WARNING}, {kDebugLevelWarning, "warning", LOG_WARNING},
    {kDebugLevelNotice, "notice", LOG_NOTICE},  {kDebugLevelInfo, "info", LOG_INFO},
    {kDebugLevelTrace, "trace", LOG_DEBUG},     {kDebugLevelVerbose, "verbose", LOG_DEBUG},
    {kDebugLevelChatty, "chatty", LOG_DEBUG},
};

/* The named step at or below `level`; anything below chatty counts as chatty. */
static size_t levelIndex(int level)
{
    size_t count = sizeof(kLevelNames) / sizeof(kLevelNames[0]);
    for (size_t i = 0; i < count; i++) {
        if (level >= kLevelNames[i].level)
            return i;
    }
    return count - 1;
}

bool DebugLevelFromName(const char* name, int* levelp)
{
    if (!name || !levelp)
        return false;
    for (size_t i = 0; i < sizeof(kLevelNames) / sizeof(kLevelNames[0]); i++) {
        if (strcmp(name, kLevelNames[i].name) == 0) {
            *levelp = kLevelNames[i].level;
            return true;
        }
    }
    return false;
}

static void closeOutputLocked(void)
{
    if (s_file)
        fclose(s_file);
    if (s_sink == kSinkSyslog)
        closelog();
    s_file = NULL;
    free(s_target);
    s_target = NULL;
    s_sink = kSinkStderr;
}

static void rotateFileLocked(void)
{
    char* oldPath = NULL;
    if (asprintf(&oldPath, "%s.old", s_target) < 0)
        return;
    fclose(s_file);
    rename(s_target, oldPath);
    free(oldPath);
    s_file = fopen(s_target, "a");
    s_fileSize = 0;
    if (!s_file) {
        /* The disk went away under us: keep the lines visible rather than lose them. */
        free(s_target);
        s_target = NULL;
        s_sink = kSinkStderr;
    }
}

static int writeStreamLocked(FILE* stream, int level, const char* text)
{
    struct timespec now;
    struct tm local;
    char stamp[32];
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    int written = fprintf(stream, "%s.%03ld [%s] %s\n", stamp, now.tv_nsec / 1000000L,
                          kLevelNames[levelIndex(level)].name, text);
    fflush(stream);
    return written > 0 ? written : 0;
}

/* Sends one line to the capture hook or the output; the level rule has already been applied. */
static void emit(int level, const char* text)
{
    pthread_mutex_lock(&s_lock);
    DebugCaptureFunc capture = s_capture;
    void* user = s_captureUser;
    if (!capture) {
        switch (s_sink) {
        case kSinkSyslog:
            syslog(kLevelNames[levelIndex(level)].priority, "%s", text);
            break;
        case kSinkFile:
            if (s_fileCap > 0 && s_fileSize >= s_fileCap)
                rotateFileLocked();
            if (s_sink == kSinkFile)
                s_fileSize += writeStreamLocked(s_file, level, text);
            else
                writeStreamLocked(stderr, level, text);
            break;
        case kSinkStderr:
            writeStreamLocked(stderr, level, text);
            break;
        }
    }
    pthread_mutex_unlock(&s_lock);
    /* Outside the lock, so that a hook may print. */
    if (capture)
        capture(level, text, user);
}

static bool isPrinted(int level)
{
    pthread_mutex_lock(&s_lock);
    bool printed = level >= s_minimumLevel;
    pthread_mutex_unlock(&s_lock);
    return printed;
}

bool DebugInitialize(DebugOutputType type, const char* target, int parameter)
{
    if (!target || (type != kDebugOutputPlatformLog && type != kDebugOutputFile))
        return false;
    char* copy = strdup(target);
    if (!copy)
        return false;
    if (type == kDebugOutputPlatformLog) {
        const char* env = getenv("CSDEBUG_STDERR");
        pthread_mutex_lock(&s_lock);
        closeOutputLocked();
        if (env && *env) {
            free(copy);
        } else {
            s_target = copy;
            openlog(s_target, LOG_PID, LOG_DAEMON);
            s_sink = kSinkSyslog;
        }
        pthread_mutex_unlock(&s_lock);
        return true;
    }
    FILE* file = parameter >= 0 ? fopen(target, "a") : NULL;
    if (!file) {
        free(copy);
        return false;
    }
    pthread_mutex_lock(&s_lock);
    closeOutputLocked();
    s_file = file;
    s_target = copy;
    s_fileCap = parameter * BYTES_PER_MIB;
    fseek(file, 0, SEEK_END);
    s_fileSize = ftell(file);
    s_sink = kSinkFile;
    pthread_mutex_unlock(&s_lock);
    return true;
}

bool DebugSetProperty(DebugProperty property, long value)
{
    bool ok = true;
    pthread_mutex_lock(&s_lock);
    if (property == kDebugPropertyMinimumLevel)
        s_minimumLevel = (int)value;
    else if (property == kDebugPropertyHexDumpLimit && value >= 0)
        s_hexDumpLimit = value;
    else
        ok = false;
    pthread_mutex_unlock(&s_lock);
    return ok;
}

/* A copy of `text` with every control character escaped; NULL when there is none to escape. */
static char* escapeControls(const char* text, size_t length)
{
    size_t controls = 0;
    for (size_t i = 0; i < length; i++)
        controls += iscntrl((unsigned char)text[i]) ? 1 : 0;
    if (controls == 0)
        return NULL;
    char* escaped = malloc(length + controls * 3 + 1);
    if (!escaped)
        abort();
    char* out = escaped;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '\n')
            out += sprintf(out, "\\n");
        else if (c == '\r')
            out += sprintf(out, "\\r");
        else if (c == '\t')
            out += sprintf(out, "\\t");
        else if (iscntrl(c))
            out += sprintf(out, "\\x%02x", c);
        else
            *out++ = (char)c;
    }
    *out = '\0';
    return escaped;
}

void DebugSetSecrets(const char* const* secrets, size_t n_secrets)
{
    char** copies = n_secrets > 0 ? calloc(n_secrets, sizeof(*copies)) : NULL;
    size_t count = 0;
    for (size_t i = 0; copies && secrets && i < n_secrets; i++) {
        if (secrets[i] && *secrets[i] && !(copies[count++] = strdup(secrets[i])))
            abort();
    }
    if (n_secrets > 0 && !copies)
        abort();
    pthread_mutex_lock(&s_lock);
    char** old = s_secrets;
    size_t oldCount = s_secretCount;
    s_secrets = copies;
    s_secretCount = count;
    pthread_mutex_unlock(&s_lock);
    for (size_t i = 0; i < oldCount; i++)
        free(old[i]);
    free(old);
}

/* The earliest secret in `text` and its length, or NULL. Called with the lock held. */
static const char* findSecretLocked(const char* text, size_t* lengthp)
{
    const char* earliest = NULL;
    for (size_t i = 0; i < s_secretCount; i++) {
        const char* found = strstr(text, s_secrets[i]);
        size_t length = strlen(s_secrets[i]);
        /* At one place the longest wins: an encoded form may begin with the plain one. */
        if (found && (!earliest || found < earliest || (found == earliest && length > *lengthp))) {
            earliest = found;
            *lengthp = length;
        }
    }
    return earliest;
}

char* DebugMaskSecrets(const char* text)
{
    if (!text)
        return NULL;
    pthread_mutex_lock(&s_lock);
    size_t length = 0;
    const char* found = findSecretLocked(text, &length);
    char* masked = NULL;
    if (found) {
        /* Each secret, one byte at least, becomes four. */
        masked = malloc(strlen(text) * 4 + 5);
        if (!masked)
            abort();
        char* out = masked;
        const char* in = text;
        for (; found; found = findSecretLocked(in, &length)) {
            memcpy(out, in, (size_t)(found - in));
            out += found - in;
            memcpy(out, "****", 4);
            out += 4;
            in = found + length;
        }
        strcpy(out, in);
    }
    pthread_mutex_unlock(&s_lock);
    return masked;
}

static void printV(int level, const char* format, va_list args)
{
    char* text = NULL;
    int length = vasprintf(&text, format, args);
    if (length < 0)
        abort();
    if (length > 0 && text[length - 1] == '\n')
        text[--length] = '\0';
    char* masked = DebugMaskSecrets(text);
    if (masked) {
        free(text);
        text = masked;
        length = (int)strlen(text);
    }
    char* escaped = escapeControls(text, (size_t)length);
    emit(level, escaped ? escaped : text);
    free(escaped);
    free(text);
}

void DebugPrintF(int level, const char* format, ...)
{
    if (!format || !isPrinted(level))
        return;
    va_list args;
    va_start(args, format);
    printV(level, format, args);
    va_end(args);
}

bool DebugPrintAssert(bool condition, const char* expression, long value, const char* file,
                      int line, const char* function)
{
    if (!condition) {
        DebugPrintF(kDebugLevelAssert, "### check \"%s\" failed (value %ld) at %s:%d in %s()",
                    expression ? expression : "?", value, file ? file : "?", line,
                    function ? function : "?");
    }
    return condition;
}

void DebugHexDump(int level, const void* data, size_t size)
{
    if (!data || !isPrinted(level))
        return;
    pthread_mutex_lock(&s_lock);
    size_t limit = (size_t)s_hexDumpLimit;
    pthread_mutex_unlock(&s_lock);
    size_t shown = size < limit ? size : limit;
    /* Secrets are masked in a copy of what is shown, so that none straddles a dump line. */
    unsigned char* bytes = malloc(shown + 1);
    if (!bytes)
        abort();
    memcpy(bytes, data, shown);
    bytes[shown] = '\0';
    pthread_mutex_lock(&s_lock);
    for (size_t i = 0; i < s_secretCount; i++) {
        size_t length = strlen(s_secrets[i]);
        for (unsigned char* at = bytes; at + length <= bytes + shown; at++) {
            if (memcmp(at, s_secrets[i], length) == 0)
                memset(at, '*', length);
        }
    }
    pthread_mutex_unlock(&s_lock);
    for (size_t offset = 0; offset < shown; offset += 16) {
        /* Room for a 64-bit offset, so that a dump past 4 GiB cannot overrun the line. */
        char line[16 + 2 + 16 * 3 + 1 + 16 + 2];
        size_t count = shown - offset < 16 ? shown - offset : 16;
        int pos = snprintf(line, sizeof(line), "%08zx  ", offset);
        for (size_t i = 0; i < 16; i++) {
            if (i < count)
                pos += snprintf(line + pos, sizeof(line) - pos, "%02x ", bytes[offset + i]);
            else
                pos += snprintf(line + pos, sizeof(line) - pos, "   ");
        }
        line[pos++] = '|';
        for (size_t i = 0; i < count; i++) {
            unsigned char c = bytes[offset + i];
            line[pos++] = isprint(c) ? (char)c : '.';
        }
        line[pos++] = '|';
        line[pos] = '\0';
        emit(level, line);
    }
    free(bytes);
    if (shown < size)
        DebugPrintF(level, "... %zu more bytes not shown", size - shown);
}

void DebugFinalize(void)
{
    pthread_mutex_lock(&s_lock);
    closeOutputLocked();
    s_minimumLevel = kDebugLevelChatty;
    s_hexDumpLimit = DEFAULT_HEX_DUMP_LIMIT;
    s_fileCap = 0;
    s_fileSize = 0;
    pthread_mutex_unlock(&s_lock);
}

void DebugSetCapture(DebugCaptureFunc func, void* user)
{
    pthread_mutex_lock(&s_lock);
    s_capture = func;
    s_captureUser = user;
    pthread_mutex_unlock(&s_lock);
}

/* csdebug: leveled debug output of the common services, to the platform log, a file or a test hook.
 */
#ifndef CSDEBUG_H
#define CSDEBUG_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Levels run from chatty to tragic; a line is printed when its level is at least the minimum
 * level property. Any int is a valid level; these are the named steps. */
enum {
    kDebugLevelChatty = 100,
    kDebugLevelVerbose = 500,
    kDebugLevelTrace = 800,
    kDebugLevelInfo = 1000,
    kDebugLevelNotice = 3000,
    kDebugLevelWarning = 5000,
    kDebugLevelAssert = 6000,
    kDebugLevelRequire = 7000,
    kDebugLevelError = 8000,
    kDebugLevelCritical = 9000,
    kDebugLevelAlert = 10000,
    kDebugLevelEmergency = 11000,
    kDebugLevelTragic = 12000,
};

typedef enum {
    /* syslog under the given identity; standard error instead when the environment variable
     * CSDEBUG_STDERR is non-empty at initialization. */
    kDebugOutputPlatformLog,
    /* Appended to the given file. */
    kDebugOutputFile,
} DebugOutputType;

typedef enum {
    /* Lines below this level are dropped. Default: kDebugLevelChatty. */
    kDebugPropertyMinimumLevel,
    /* The most bytes one hex dump shows; the rest is summarized in one line. Default: 0xffff. */
    kDebugPropertyHexDumpLimit,
} DebugProperty;

/* Selects the output. For kDebugOutputPlatformLog, `target` is the log identity and `parameter`
 * is unused. For kDebugOutputFile, `target` is the path and `parameter` the file's size cap in
 * MiB (0: none): past the cap the file is renamed to "<path>.old" and a new one is started, so
 * a chatty daemon cannot fill the disk. Returns false, keeping the previous output, when the
 * file cannot be opened or an argument is missing. Until the first successful call, and after
 * DebugFinalize, lines go to standard error. */
bool DebugInitialize(DebugOutputType type, const char* target, int parameter);

/* Returns false for an unknown property or a negative hex dump limit. */
bool DebugSetProperty(DebugProperty property, long value);

/* The level of a step name ("chatty" … "tragic", exact case) into *levelp; false, leaving
 * *levelp alone, for any other text. */
bool DebugLevelFromName(const char* name, int* levelp);

/* A trailing newline in the message is optional: each line ends with exactly one. Any other
 * control character in the message (a line break inside it, an escape sequence) is written as
 * "\n", "\r", "\t" or "\xHH", so that text from the network cannot start a line of its own
 * or rewrite a terminal. */
void DebugPrintF(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* A logged check: when `condition` is false, prints the failed expression (or the name of the
 * missing value), `value` for context (an error code, or 0), and where the check stands, at
 * kDebugLevelAssert. Never aborts. Returns `condition`, so that the caller can take its failure
 * path. */
bool DebugPrintAssert(bool condition, const char* expression, long value, const char* file,
                      int line, const char* function);

/* Prints `size` bytes as lines of sixteen hex bytes with their offset and their printable text. */
void DebugHexDump(int level, const void* data, size_t size);

/* Replaces the texts that no printed line or hex dump may show (a password, and its encoded
 * forms): each occurrence prints as "****" in a line and as '*' bytes in a dump. Empty texts
 * are ignored; NULL or 0 clears the list. The list is copied. */
void DebugSetSecrets(const char* const* secrets, size_t n_secrets);

/* A heap copy (free()) of `text` with every secret of DebugSetSecrets as "****"; NULL when it
 * holds none. For a caller that masks more of its own before printing. */
char* DebugMaskSecrets(const char* text);

/* Closes the output and restores the defaults (standard error, both properties); the capture
 * hook stays. */
void DebugFinalize(void);

/* Receives every line that passes the level rule instead of the output (tests). `line` has no
 * trailing newline. NULL restores the output. */
typedef void (*DebugCaptureFunc)(int level, const char* line, void* user);
void DebugSetCapture(DebugCaptureFunc func, void* user);

#ifdef __cplusplus
}
#endif

#endif

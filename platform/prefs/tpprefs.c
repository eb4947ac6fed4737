/* tpprefs: system properties and per-application values in JSON files. */
#include "tpprefs.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <json-c/json.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

G_DEFINE_AUTOPTR_CLEANUP_FUNC(json_object, json_object_put)

#define DEFAULT_SYSTEM_PROPERTIES "/etc/quor/system-properties.json"
#define DEFAULT_PREFS_DIR "/var/lib/quor/prefs"

struct TPAppHandle {
    char* dir;
    char* path;
    char* appId;
};

static const char* envOr(const char* name, const char* fallback)
{
    const char* value = g_getenv(name);
    return (value && *value) ? value : fallback;
}

/* The object stored at `path`, or NULL when the file is missing, unreadable, torn or holds
 * something else: a torn file must read as no values rather than as a prefix of them. */
static json_object* readObject(const char* path)
{
    g_autofree char* text = NULL;
    gsize length = 0;
    if (!g_file_get_contents(path, &text, &length, NULL) || strlen(text) != length)
        return NULL;
    json_tokener* tokener = json_tokener_new();
    if (!tokener)
        return NULL;
    /* Strict mode rejects trailing text, so a file cut inside a value does not parse. */
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    json_object* root = json_tokener_parse_ex(tokener, text, -1);
    enum json_tokener_error status = json_tokener_get_error(tokener);
    json_tokener_free(tokener);
    if (status != json_tokener_success || !json_object_is_type(root, json_type_object)) {
        json_object_put(root);
        return NULL;
    }
    return root;
}

TPErr TPSystemCopyStringValue(const char* key, char** valuep)
{
    if (!key || !valuep)
        return TP_ERR_PARAM;
    *valuep = NULL;
    g_autoptr(json_object) root =
        readObject(envOr("TAMO_SYSTEM_PROPERTIES", DEFAULT_SYSTEM_PROPERTIES));
    json_object* value = NULL;
    if (!root || !json_object_object_get_ex(root, key, &value))
        return TP_ERR_NO_VALUE;
    switch (json_object_get_type(value)) {
    case json_type_string:
        *valuep = g_strdup(json_object_get_string(value));
        return TP_ERR_NONE;
    case json_type_boolean:
    case json_type_int:
    case json_type_double:
        *valuep = g_strdup(json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN));
        return TP_ERR_NONE;
    case json_type_null:
    case json_type_object:
    case json_type_array:
        break;
    }
    return TP_ERR_NO_VALUE;
}

void TPFreeString(char* value)
{
    g_free(value);
}

/* A plain file name, so that no appId reaches outside the folder. */
static gboolean isPlainName(const char* appId)
{
    return *appId && !strchr(appId, '/') && strcmp(appId, ".") != 0 && strcmp(appId, "..") != 0;
}

TPErr TPAppGetHandle(const char* appId, TPAppHandle** handlep)
{
    if (!appId || !handlep || !isPlainName(appId))
        return TP_ERR_PARAM;
    TPAppHandle* handle = g_new0(TPAppHandle, 1);
    handle->dir = g_strdup(envOr("TAMO_PREFS_DIR", DEFAULT_PREFS_DIR));
    g_autofree char* name = g_strconcat(appId, ".json", NULL);
    handle->path = g_build_filename(handle->dir, name, NULL);
    handle->appId = g_strdup(appId);
    *handlep = handle;
    return TP_ERR_NONE;
}

void TPAppFreeHandle(TPAppHandle* handle)
{
    if (!handle)
        return;
    g_free(handle->dir);
    g_free(handle->path);
    g_free(handle->appId);
    g_free(handle);
}

TPErr TPAppCopyValue(TPAppHandle* handle, const char* key, char** valuep)
{
    if (!handle || !key || !valuep)
        return TP_ERR_PARAM;
    *valuep = NULL;
    g_autoptr(json_object) root = readObject(handle->path);
    json_object* value = NULL;
    if (!root || !json_object_object_get_ex(root, key, &value) ||
        !json_object_is_type(value, json_type_string))
        return TP_ERR_NO_VALUE;
    *valuep = g_strdup(json_object_get_string(value));
    return TP_ERR_NONE;
}

static gboolean writeAll(int fd, const char* text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return FALSE;
        text += written;
        length -= (size_t)written;
    }
    return TRUE;
}

/* Writes `text` beside `path` and renames it over `path`: readers see the old file or the new
 * one, never a part. The folder is synced so that the rename itself survives a crash. */
static TPErr replaceFile(int dirFd, const char* dir, const char* appId, const char* path,
                         const char* text)
{
    g_autofree char* name = g_strconcat(".", appId, ".json.XXXXXX", NULL);
    g_autofree char* temp = g_build_filename(dir, name, NULL);
    int fd = g_mkstemp_full(temp, O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return TP_ERR_IO;
    gboolean ok = writeAll(fd, text, strlen(text)) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp, path) != 0) {
        unlink(temp);
        return TP_ERR_IO;
    }
    return fsync(dirFd) == 0 ? TP_ERR_NONE : TP_ERR_IO;
}

TPErr TPAppSetValue(TPAppHandle* handle, const char* key, const char* value)
{
    if (!handle || !key || !value)
        return TP_ERR_PARAM;
    if (g_mkdir_with_parents(handle->dir, 0700) != 0)
        return TP_ERR_IO;
    int dirFd = open(handle->dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return TP_ERR_IO;
    /* Writers of one folder take turns, so that two read-modify-writes do not lose a key. */
    if (flock(dirFd, LOCK_EX) != 0) {
        close(dirFd);
        return TP_ERR_IO;
    }
    TPErr result = TP_ERR_NO_MEMORY;
    g_autoptr(json_object) root = readObject(handle->path);
    if (!root)
        root = json_object_new_object();
    json_object* text = json_object_new_string(value);
    if (root && text && json_object_object_add(root, key, text) == 0) {
        text = NULL;
        const char* json = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN |
                                                                    JSON_C_TO_STRING_NOSLASHESCAPE);
        if (json)
            result = replaceFile(dirFd, handle->dir, handle->appId, handle->path, json);
    }
    json_object_put(text);
    close(dirFd); /* also releases the lock */
    return result;
}

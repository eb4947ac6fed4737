// KelVvmSettings: the deployment's hosts and names, read once at start from a key file.
#include "KelVvmSettings.h"

#include <glib.h>

namespace
{

std::string readKey(GKeyFile* file, const char* group, const char* key)
{
    gchar* value = g_key_file_get_string(file, group, key, nullptr);
    std::string text = value ? value : "";
    g_free(value);
    return text;
}

} // namespace

std::string KelVvmSettings::path()
{
    const char* path = g_getenv("KELVVM_CONFIG");
    return path && *path ? path : "/etc/kelvvm.conf";
}

bool KelVvmSettings::load(const std::string& file, std::string& error)
{
    GKeyFile* keys = g_key_file_new();
    GError* gerror = nullptr;
    bool loaded = g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_NONE, &gerror);
    if (loaded) {
        vvmUrl = readKey(keys, "voicemail", "url");
        vvmQlfUrl = readKey(keys, "voicemail", "qualification-url");
        webNamespace = readKey(keys, "voicemail", "namespace");
        reportUrl = readKey(keys, "report", "url");
        testDownloadFolder = readKey(keys, "test", "download-folder");
        if (!testDownloadFolder.empty() && testDownloadFolder.back() != '/')
            testDownloadFolder += '/';
        caFile = readKey(keys, "tls", "ca-file");
        // Anything but a true value (true or 1) keeps today's exchanges.
        reuseConnections = g_key_file_get_boolean(keys, "network", "reuse-connections", nullptr);
    } else {
        error = gerror->message;
        g_error_free(gerror);
    }
    g_key_file_free(keys);
    return loaded;
}

const KelVvmSettings& KelVvmSettings::instance()
{
    static const KelVvmSettings settings = [] {
        KelVvmSettings loaded;
        loaded.load(path(), loaded.loadError);
        return loaded;
    }();
    return settings;
}

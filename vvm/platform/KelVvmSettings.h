// KelVvmSettings: the deployment's hosts and names, read once at start from a key file.
#ifndef KELVVMSETTINGS_H
#define KELVVMSETTINGS_H

#include <string>

struct KelVvmSettings {
    std::string vvmUrl;       // [voicemail] url
    std::string vvmQlfUrl;    // [voicemail] qualification-url
    std::string webNamespace; // [voicemail] namespace
    std::string reportUrl;    // [report] url
    // [test] download-folder: a second folder the diagnostic "test" method may download into,
    // given with or without its final "/"; empty when not set.
    std::string testDownloadFolder;
    // [tls] ca-file: the CA certificates https peers are verified against instead of the
    // system's; empty when not set.
    std::string caFile;
    // [network] reuse-connections: keep connections (and TLS sessions) for the next exchange
    // with the same host instead of one connection per exchange; off when not set.
    bool reuseConnections = false;

    // Why the file could not be read; empty when it was.
    std::string loadError;

    // $KELVVM_CONFIG, or /etc/kelvvm.conf.
    static std::string path();
    // Reads `file`; a missing file or key leaves the value empty. False when the file cannot be
    // read, with the reason in `error`.
    bool load(const std::string& file, std::string& error);

    // The settings of path(), read on first use: static members of the protocol classes take
    // their values from here before the entry point runs.
    static const KelVvmSettings& instance();
};

#endif

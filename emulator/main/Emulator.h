// Emulator: reads the configuration, prepares the state folder and the bus, runs every server
// and writes DIR/env once all are ready.
#ifndef EMULATOR_EMULATOR_H
#define EMULATOR_EMULATOR_H

#include "CarrierFront.h"
#include "DeviceService.h"
#include "EmulatorServer.h"
#include "PrivateBus.h"

#include <memory>
#include <string>
#include <vector>

namespace emulator
{

struct EmulatorOptions {
    std::string configPath;
    std::string stateDir; // empty: a fresh temporary folder
    double timeScale = 1.0;
    std::vector<std::string> serviceDirs;
    std::string toolsDir;    // put first on the PATH of DIR/env; empty: PATH is left alone
    std::string pageDir;     // the page's files, unless the configuration names others
    bool tls = false;        // the carrier servers over https, with a CA in DIR/tls
    std::string linkProfile; // empty: no link relay in front of the carrier servers
};

class Emulator
{
  public:
    explicit Emulator(EmulatorOptions options);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Everything up to DIR/env; false with the reason in `error`, after undoing what started.
    bool start(std::string& error);
    // Servers in reverse order, then the private bus.
    void stop();

    const std::string& stateDir() const { return m_context.stateDir; }
    // The lines of DIR/env, "export NAME='value'", and one that puts the build tree's tools
    // on PATH.
    const std::vector<std::string>& envLines() const { return m_envLines; }

  private:
    bool prepareStateDir(std::string& error);
    bool prepareCarrierAccess(std::string& error);
    bool writeSettings(const DeploymentSettings& settings, std::string& error);

    EmulatorOptions m_options;
    DeviceContext m_context;
    JValue m_config;
    std::string m_configDir;
    PrivateBus m_bus;
    emu::link::TlsFiles m_tlsFiles;
    std::unique_ptr<emu::link::LinkModel> m_link;
    CarrierAccess m_access;
    std::vector<std::unique_ptr<EmulatorServer>> m_servers;
    std::vector<std::string> m_envLines;
};

} // namespace emulator

#endif

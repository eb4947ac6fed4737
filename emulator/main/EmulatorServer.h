// EmulatorServer: one party the emulator runs (a bus service or an HTTP server), started after
// the bus is up and stopped, in reverse order, when the emulator ends.
#ifndef EMULATOR_EMULATORSERVER_H
#define EMULATOR_EMULATORSERVER_H

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace emulator
{

// The daemons' deployment key files: file ("kelvvm", "kelwisprd") → group → key → value.
using DeploymentSettings =
    std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;

class EmulatorServer
{
  public:
    virtual ~EmulatorServer() = default;

    // Runs on the emulator's main loop; false, with the reason in `error`, stops the start.
    virtual bool start(std::string& error) = 0;
    virtual void stop() = 0;

    // Shell assignments for DIR/env (a server's base URL, for instance); asked after start.
    virtual std::vector<std::pair<std::string, std::string>> envLines() const { return {}; }
    // Values the daemons' settings files need to reach this server; asked after start.
    virtual void addSettings(DeploymentSettings&) const {}
};

} // namespace emulator

#endif

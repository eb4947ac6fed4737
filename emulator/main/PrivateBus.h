// PrivateBus: the emulator's own dbus-daemon, when no bus was given.
#ifndef EMULATOR_PRIVATEBUS_H
#define EMULATOR_PRIVATEBUS_H

#include <glib.h>

#include <map>
#include <string>
#include <vector>

namespace emulator
{

class PrivateBus
{
  public:
    PrivateBus() = default;
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus();

    // Writes DIR/bus.conf (activation from `serviceDirs`) and starts dbus-daemon on it, with
    // `env` added to its environment so that the services it activates see the emulator's
    // settings. Its output goes to DIR/bus.log.
    bool start(const std::string& stateDir, const std::vector<std::string>& serviceDirs,
               const std::map<std::string, std::string>& env, std::string& error);
    void stop();
    const std::string& address() const { return m_address; }

  private:
    GPid m_pid = 0;
    std::string m_address;
};

} // namespace emulator

#endif

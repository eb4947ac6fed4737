// The device of a whole-system scenario: nimbos-emulator on its own bus in a fresh state folder,
// with this process pointed at that bus while it runs. The folder goes when all went well and
// stays, with the logs, for a case that failed.
#ifndef KEL_E2E_EMULATEDDEVICE_H
#define KEL_E2E_EMULATEDDEVICE_H

#include "EmulatorProcess.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The emulator's configuration for the scenarios: the SIM ready, the WAN connected, the system
// properties and activities the daemons read, and `voicemail` as the carrier's mailbox section.
std::string deviceConfiguration(const std::string& voicemail);

// The files directly in `folder` (an audio folder), by name, with their sizes.
std::map<std::string, std::uintmax_t> fileSizesIn(const std::string& folder);

class EmulatedDevice
{
  public:
    // Makes a fresh state folder named after `prefix` for `program`, the emulator.
    EmulatedDevice(const std::string& program, const std::string& prefix);
    // Stops the emulator when it runs, puts this process's environment back, and removes the
    // folder unless the current test has failed. This process's bus handles must be gone by
    // then: their bus goes with the emulator.
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    // Writes `text` as the emulator's configuration, which every later start() reads.
    void configure(const std::string& text);
    // Starts the emulator on the folder (again, after stop()) with `args`, `env` added to the
    // environment that it and the daemons its bus activates inherit, and points this process's
    // TAMO_BUS_ADDRESS at its bus. A fatal failure when it does not come up.
    void start(const std::vector<std::string>& args = {},
               const std::map<std::string, std::string>& env = {});
    // Sends `signum` to the emulator and reaps it.
    void stop(int signum);
    // Points this process's variable `name` at what DIR/env exports for it, until the end.
    void adopt(const std::string& name);

    const std::string& stateDir() const { return m_stateDir; }
    // What DIR/env exports as `name`; "" when it does not.
    std::string env(const std::string& name) const;

  private:
    std::string m_program;
    std::string m_stateDir;
    std::string m_config;
    EmulatorProcess m_emulator;
    // The values this process had before, null for a variable it lacked.
    std::map<std::string, std::optional<std::string>> m_savedEnv;
};

#endif

// nimbos-emulator as a program for tests: started as a shell would start it, ready once it has
// written DIR/env, stopped by a signal.
#ifndef KEL_TEST_EMULATORPROCESS_H
#define KEL_TEST_EMULATORPROCESS_H

#include <glib.h>

#include <map>
#include <string>
#include <vector>

struct EmulatorProcess {
    GPid pid = 0;
    // What DIR/env exports: the bus address, the settings files, the servers' addresses.
    std::map<std::string, std::string> env;
};

// The "export NAME='value'" lines of an env file.
std::map<std::string, std::string> readEmulatorEnv(const std::string& path);

// Starts `program` on the state folder `stateDir` at time scale 100, on its own private bus
// when `ownBus`, otherwise on $TAMO_BUS_ADDRESS; returns once DIR/env is written. `extraArgs`
// follow, so they may override the time scale. `extraEnv` is added to the environment the
// program inherits from this process (and hands on to what its own bus activates).
EmulatorProcess startEmulator(const std::string& program, const std::string& stateDir, bool ownBus,
                              const std::vector<std::string>& extraArgs = {},
                              const std::map<std::string, std::string>& extraEnv = {});

// Sends `signum` and reaps the program; returns its wait status.
int stopEmulator(EmulatorProcess& running, int signum);

#endif

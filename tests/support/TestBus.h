// A private dbus-daemon for one test binary, and a way to run the main loop until something
// happens.
#ifndef KEL_TEST_BUS_H
#define KEL_TEST_BUS_H

#include <functional>
#include <map>
#include <string>

#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>

class TestBus
{
  public:
    // Starts dbus-daemon on the development configuration; `env` is added to the daemon's
    // environment, which services it activates inherit. Sets TAMO_BUS_ADDRESS in this process.
    explicit TestBus(const std::map<std::string, std::string>& env = {});
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    const std::string& address() const { return m_address; }

  private:
    GPid m_pid = 0;
    std::string m_address;
};

// A fixture whose tests share one private bus, started once for the suite.
class SharedBusTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { s_bus = new TestBus(); }
    static void TearDownTestSuite()
    {
        delete s_bus;
        s_bus = nullptr;
    }
    static TestBus* s_bus;
};

// A plain D-Bus connection to the bus of TAMO_BUS_ADDRESS, for looking at it as any client
// would; NULL when it cannot connect. The caller unrefs it.
GDBusConnection* rawBusConnection();

// Iterates the default main context until `done` is true or `timeoutMs` passed; returns `done`.
bool runUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Iterates the default main context for `ms` milliseconds.
void runFor(int ms);
// Whether `name` has an owner on the bus at $TAMO_BUS_ADDRESS (false when it cannot be asked).
bool nameHasOwner(const char* name);
// The process id of `name`'s owner on the bus at $TAMO_BUS_ADDRESS; 0 when it has none.
int nameOwnerPid(const char* name);

#endif

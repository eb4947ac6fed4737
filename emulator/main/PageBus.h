// PageBus: the page's view of the bus: method calls made for the page, and a monitor of every
// other message, which tells the page that something happened.
#ifndef EMULATOR_PAGEBUS_H
#define EMULATOR_PAGEBUS_H

#include <gio/gio.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace emulator
{

class PageBus
{
  public:
    // `onActivity` runs on a GDBus worker thread for each message on the bus that the page's
    // own calls did not cause.
    explicit PageBus(std::function<void()> onActivity);
    ~PageBus();
    PageBus(const PageBus&) = delete;
    PageBus& operator=(const PageBus&) = delete;

    // Connects twice to the bus at `address`: once to call, once to monitor.
    bool start(const std::string& address, std::string& error);
    void stop();

    // Calls the method `uri` (quor://service/category/method) with `payload` and waits for the
    // first reply. Blocks: for the page server's threads, never the main loop. A call the bus
    // cannot deliver answers {"returnValue":false,"errorCode":-1,...}, as the bus library does.
    std::string call(const std::string& uri, const std::string& payload);

    // The latest Tamo signals, oldest first: [{"time","category","signal","payload"}].
    std::string signals() const;

  private:
    static GDBusMessage* onMessage(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                   gpointer self);

    std::function<void()> m_onActivity;
    GDBusConnection* m_caller = nullptr;
    GDBusConnection* m_monitor = nullptr;
    guint m_filter = 0;
    std::string m_callerName;
    std::string m_monitorName;
    mutable std::mutex m_mutex;
    std::deque<std::string> m_signals; // JSON objects
};

} // namespace emulator

#endif

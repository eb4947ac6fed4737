// PageBus: the page's view of the bus: method calls made for the page, and a monitor of every
// other message, which tells the page that something happened.
#ifndef EMULATOR_PAGEBUS_H
#define EMULATOR_PAGEBUS_H

#include <gio/gio.h>

#include <deque>
#include <functional>
#include <memory>
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

    // Connects twice to the bus at `address`: once to call, once to monitor. False only when it
    // cannot call; a bus that refuses the monitor leaves the page without its events.
    bool start(const std::string& address, std::string& error);
    void stop();

    // Calls the method `uri` (quor://service/category/method) with `payload` and waits for the
    // first reply. Blocks: for the page server's threads, never the main loop. A call the bus
    // cannot deliver answers {"returnValue":false,"errorCode":-1,...}, as the bus library does.
    std::string call(const std::string& uri, const std::string& payload);

    // The latest Tamo signals, oldest first: [{"time","category","signal","payload"}].
    std::string signals() const;

  private:
    // What the monitor's filter uses. GDBus may still run a filter just removed, on its own
    // thread: the filter holds this, and does nothing once it is stopped.
    struct Watch {
        std::mutex mutex;
        bool stopped = false;
        std::function<void()> onActivity;
        std::string callerName, monitorName;
        std::deque<std::string> signals; // JSON objects
    };
    static GDBusMessage* onMessage(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                   gpointer watch);

    std::shared_ptr<Watch> m_watch;
    GDBusConnection* m_caller = nullptr;
    GDBusConnection* m_monitor = nullptr;
    guint m_filter = 0;
};

} // namespace emulator

#endif

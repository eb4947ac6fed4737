// Forwarder: a listener on 127.0.0.1 whose every connection is paired with a new connection to a
// target port on 127.0.0.1 and handed, with it, to serve() on a thread of its own.
#ifndef EMU_FORWARDER_H
#define EMU_FORWARDER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace emu::link
{

class Forwarder
{
  public:
    virtual ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // Listens on an ephemeral port; throws std::runtime_error when it cannot.
    void start(uint16_t targetPort);
    // Closes the listener and every connection, and joins every thread. A derived class calls
    // it from its own destructor, while serve() can still run.
    void stop();

    uint16_t port() const { return m_port; }

  protected:
    Forwarder() = default;

    // Carries one connection until either side is done; the sockets are closed afterwards.
    virtual void serve(int client, int target) = 0;

  private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();

    int m_listener = -1;
    uint16_t m_port = 0;
    uint16_t m_targetPort = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections;
    std::set<int> m_sockets; // open sockets of the connections, shut down at stop()
};

} // namespace emu::link

#endif

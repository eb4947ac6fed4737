// RawHttpServer: a small HTTP/1.0 server on raw sockets that can misbehave on purpose.
#ifndef EMU_HOTSPOT_RAWHTTPSERVER_H
#define EMU_HOTSPOT_RAWHTTPSERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace emu::hotspot
{

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and optional query
    std::string path;    // target up to its "?"
    std::string query;   // text after the first "?", or empty
    std::string version; // "HTTP/1.0" ...
    HeaderList headers;  // in order, names as sent
    std::string body;    // Content-Length bytes
    std::string peer;    // the client's address
    bool malformed = false;

    // The first header named `name` (any case), or "".
    std::string header(const std::string& name) const;
};

// How the reply leaves the socket. Anything about the reply's content (status, size) is the
// handler's business; this is only what a well-behaved server would never do with a socket.
enum class Delivery {
    Normal,     // send, then close
    Silence,    // send nothing and hold the connection until the client closes
    KeepOpen,   // send, then hold the connection until the client closes
    EarlyClose, // send only the first `amount` bytes, then close
    Delay,      // wait `amount` ms, then send and close
    Drip,       // send one byte every `amount` ms, then close
};

struct HttpReply {
    std::string text; // the whole response: status line, headers, body
    Delivery delivery = Delivery::Normal;
    long long amount = 0;
};

class RawHttpServer
{
  public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    // Listens on 127.0.0.1:`port` (0: an ephemeral port); throws std::runtime_error when it
    // cannot. `handler` runs on a connection's own thread, several at once.
    RawHttpServer(uint16_t port, Handler handler);
    // Wakes every held connection, closes them and joins every thread.
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    uint16_t port() const { return m_port; }

  private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(int fd, const std::string& peer);
    bool readRequest(int fd, HttpRequest& request);
    bool sendAll(int fd, const char* data, size_t size);
    bool wait(int fd, short events, int timeoutMs);
    bool sleepUnlessStopped(int ms);
    void holdUntilClientCloses(int fd);
    void lingeringClose(int fd);

    Handler m_handler;
    int m_listener = -1;
    int m_wake[2] = {-1, -1}; // written once at stop; never read, so it stays readable
    uint16_t m_port = 0;
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections;
};

} // namespace emu::hotspot

#endif

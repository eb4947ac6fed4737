// Forwarder: a listener on 127.0.0.1 pairing each connection with one to a target port.
#include "Forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace emu::link
{

namespace
{

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Small writes go out at once: the link's own timing is the only delay wanted.
void noDelay(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

Forwarder::~Forwarder()
{
    stop();
}

void Forwarder::start(uint16_t targetPort)
{
    m_targetPort = targetPort;
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 ||
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 64) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listener >= 0)
            close(m_listener);
        m_listener = -1;
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

void Forwarder::stop()
{
    if (m_listener < 0)
        return;
    m_stopping = true;
    // Wakes the accept() in progress; the descriptor is closed once that thread is gone.
    shutdown(m_listener, SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    close(m_listener);
    m_listener = -1;
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_sockets)
            shutdown(fd, SHUT_RDWR);
        connections.swap(m_connections);
    }
    for (auto& connection : connections)
        connection->thread.join();
}

void Forwarder::acceptLoop()
{
    while (!m_stopping) {
        int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (m_stopping)
                return;
            continue;
        }
        int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(m_targetPort);
        if (target < 0 ||
            connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (target >= 0)
                close(target);
            close(client);
            continue;
        }
        noDelay(client);
        noDelay(target);
        std::lock_guard<std::mutex> lock(m_mutex);
        // Finished connections go here, so that a long run does not pile up threads.
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
        m_sockets.insert(client);
        m_sockets.insert(target);
        auto connection = std::make_unique<Connection>();
        Connection* self = connection.get();
        self->thread = std::thread([this, self, client, target] {
            serve(client, target);
            {
                // Out of the set before the numbers can be given to another socket.
                std::lock_guard<std::mutex> lock(m_mutex);
                m_sockets.erase(client);
                m_sockets.erase(target);
            }
            close(client);
            close(target);
            self->done = true;
        });
        m_connections.push_back(std::move(connection));
    }
}

} // namespace emu::link

// RawHttpServer: a small HTTP/1.0 server on raw sockets that can misbehave on purpose.
#include "RawHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <strings.h>
#include <system_error>

namespace emu::hotspot
{

namespace
{
// A client that stalls mid-request is dropped after this long.
const int kRequestTimeoutMs = 10000;
// After our last byte, how long we keep reading what the client still sends before closing.
const int kLingerMs = 2000;
const size_t kMaxHeaderBytes = 64 * 1024;
const size_t kMaxBodyBytes = 1024 * 1024;

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// Fills `request` from the text before the blank line; false when it is not HTTP.
bool parseHead(const std::string& head, HttpRequest& request)
{
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t sp1 = requestLine.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp1 == 0)
        return false;
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    request.version = requestLine.substr(sp2 + 1);
    if (request.target.empty() || request.version.compare(0, 5, "HTTP/") != 0)
        return false;
    size_t mark = request.target.find('?');
    request.path = request.target.substr(0, mark);
    request.query = mark == std::string::npos ? "" : request.target.substr(mark + 1);

    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(pos, end - pos);
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return false;
        request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
        pos = end + 2;
    }
    return true;
}
} // namespace

std::string HttpRequest::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return "";
}

RawHttpServer::RawHttpServer(uint16_t port, Handler handler) : m_handler(std::move(handler))
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof(addr);
    int one = 1;
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0 ||
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(m_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        pipe2(m_wake, O_CLOEXEC) != 0) {
        int error = errno;
        if (m_listener >= 0)
            close(m_listener);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                 strerror(error));
    }
    m_port = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer()
{
    char byte = 1;
    while (write(m_wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    m_acceptThread.join();
    for (auto& connection : m_connections)
        connection->thread.join();
    close(m_listener);
    close(m_wake[0]);
    close(m_wake[1]);
}

// True when `fd` has `events`; false on the stop signal, an error or the time-out (-1: none).
bool RawHttpServer::wait(int fd, short events, int timeoutMs)
{
    pollfd fds[2] = {{fd, events, 0}, {m_wake[0], POLLIN, 0}};
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int n = poll(fds, 2, timeoutMs < 0 ? -1 : msLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || fds[1].revents)
            return false;
        return true;
    }
}

bool RawHttpServer::sleepUnlessStopped(int ms)
{
    pollfd stop = {m_wake[0], POLLIN, 0};
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    int n;
    while ((n = poll(&stop, 1, msLeft(deadline))) < 0 && errno == EINTR) {
    }
    return n == 0;
}

void RawHttpServer::acceptLoop()
{
    while (wait(m_listener, POLLIN, -1)) {
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        int fd = accept4(m_listener, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        char peer[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &addr.sin_addr, peer, sizeof(peer));

        std::lock_guard<std::mutex> lock(m_mutex);
        // A finished thread keeps its stack until joined: reap them as we go.
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        std::string peerText = peer;
        try {
            connection->thread = std::thread([this, fd, peerText, raw] {
                // An exception leaving a thread would end the whole emulator: one connection's
                // trouble ends that connection only.
                try {
                    serve(fd, peerText);
                } catch (const std::exception&) {
                }
                close(fd);
                raw->done = true;
            });
        } catch (const std::system_error&) {
            close(fd); // no thread to be had: this client is turned away, the others go on
            continue;
        }
        m_connections.push_back(std::move(connection));
    }
}

bool RawHttpServer::readRequest(int fd, HttpRequest& request)
{
    std::string data;
    char buf[16384];
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    size_t headEnd = std::string::npos;
    size_t need = 0; // total bytes once the head is parsed
    bool bad = false;
    bool peerClosed = false;
    while (!bad && (headEnd == std::string::npos || data.size() < need)) {
        if (!wait(fd, POLLIN, msLeft(deadline)))
            break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            peerClosed = true;
            break;
        }
        data.append(buf, size_t(n));
        if (headEnd != std::string::npos)
            continue;
        headEnd = data.find("\r\n\r\n");
        if (headEnd == std::string::npos) {
            bad = data.size() > kMaxHeaderBytes;
            continue;
        }
        std::string lengthText;
        bad = !parseHead(data.substr(0, headEnd), request);
        if (!bad)
            lengthText = request.header("Content-Length");
        char* end = nullptr;
        unsigned long long length = strtoull(lengthText.c_str(), &end, 10);
        bad = bad || (!lengthText.empty() && (*end || length > kMaxBodyBytes));
        need = headEnd + 4 + size_t(length);
    }
    if (data.empty())
        return false;
    bool complete = !bad && headEnd != std::string::npos && data.size() >= need;
    if (!complete) {
        // A client that hung up mid-request has nobody left to answer; garbage gets a 400.
        if (peerClosed && !bad)
            return false;
        request.malformed = true;
        return true;
    }
    request.body = data.substr(headEnd + 4, need - headEnd - 4);
    return true;
}

bool RawHttpServer::sendAll(int fd, const char* data, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        if (!wait(fd, POLLOUT, kRequestTimeoutMs))
            return false;
        ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

void RawHttpServer::holdUntilClientCloses(int fd)
{
    char buf[4096];
    while (wait(fd, POLLIN, -1)) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return;
    }
}

// Closing with unread bytes in the receive queue makes the kernel send a reset, which can
// destroy our reply before the client reads it (the login POST carries two bytes beyond its
// Content-Length). So: end our side, read what still comes for a while, then close.
void RawHttpServer::lingeringClose(int fd)
{
    shutdown(fd, SHUT_WR);
    char buf[4096];
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kLingerMs);
    while (wait(fd, POLLIN, msLeft(deadline))) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return;
    }
}

void RawHttpServer::serve(int fd, const std::string& peer)
{
    setNonBlocking(fd);
    HttpRequest request;
    request.peer = peer;
    if (!readRequest(fd, request))
        return;
    HttpReply reply = m_handler(request);
    const std::string& text = reply.text;
    switch (reply.delivery) {
    case Delivery::Silence:
        holdUntilClientCloses(fd);
        return;
    case Delivery::KeepOpen:
        if (sendAll(fd, text.data(), text.size()))
            holdUntilClientCloses(fd);
        return;
    case Delivery::EarlyClose:
        sendAll(fd, text.data(), std::min(text.size(), size_t(std::max(reply.amount, 0LL))));
        break;
    case Delivery::Delay:
        if (!sleepUnlessStopped(int(std::clamp(reply.amount, 0LL, (long long)INT_MAX))))
            return;
        sendAll(fd, text.data(), text.size());
        break;
    case Delivery::Drip:
        for (size_t i = 0; i < text.size(); i++) {
            if ((i > 0 && !sleepUnlessStopped(int(reply.amount))) || !sendAll(fd, &text[i], 1))
                return;
        }
        break;
    case Delivery::Normal:
        sendAll(fd, text.data(), text.size());
        break;
    }
    lingeringClose(fd);
}

} // namespace emu::hotspot

/* A scripted raw TCP peer on 127.0.0.1 for the hotspot tests: it serves each connection in
 * turn with the same script and records what it was sent. */
#ifndef TESTS_HOTSPOT_RAW_SERVER_H
#define TESTS_HOTSPOT_RAW_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class RawServer
{
  public:
    enum class After {
        Close,    // close as soon as the reply is out
        KeepOpen, // hold the connection until the client closes it
        NeverRead // read nothing, send nothing, hold the connection
    };

    struct Script {
        std::vector<std::string> replyParts; // sent in order, `gapMs` apart
        After after = After::Close;
        int gapMs = 0;
        // The request is complete at the end of its headers, or once this many bytes came.
        size_t expectBytes = 0;
    };

    explicit RawServer(Script script) : script_(std::move(script))
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    static RawServer replying(std::string reply, After after = After::Close)
    {
        Script script;
        script.replyParts.push_back(std::move(reply));
        script.after = after;
        return RawServer(std::move(script));
    }

    RawServer(RawServer&& other) = delete;

    ~RawServer()
    {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

    int port() const { return port_; }
    std::string target() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::vector<std::string> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    // Waits for `events` on `fd` in short slices so that the destructor is never kept waiting.
    bool waitFor(int fd, short events)
    {
        while (!stop_) {
            pollfd pfd{fd, events, 0};
            if (poll(&pfd, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void run()
    {
        while (waitFor(listener_, POLLIN)) {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            serve(fd);
            close(fd);
        }
    }

    bool requestComplete(const std::string& request) const
    {
        if (script_.expectBytes > 0)
            return request.size() >= script_.expectBytes;
        return request.find("\r\n\r\n") != std::string::npos;
    }

    void serve(int fd)
    {
        if (script_.after == After::NeverRead) {
            waitFor(fd, 0);
            return;
        }
        std::string request;
        char buf[65536];
        while (!requestComplete(request) && waitFor(fd, POLLIN)) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            request.append(buf, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        for (size_t i = 0; i < script_.replyParts.size(); i++) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(script_.gapMs));
            const std::string& part = script_.replyParts[i];
            size_t sent = 0;
            while (sent < part.size() && waitFor(fd, POLLOUT)) {
                ssize_t n = send(fd, part.data() + sent, part.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                sent += static_cast<size_t>(n);
            }
        }
        if (script_.after == After::KeepOpen) {
            while (waitFor(fd, POLLIN) && recv(fd, buf, sizeof(buf), 0) > 0) {
            }
        }
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

#endif

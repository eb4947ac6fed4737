// TlsFront: https in front of a plain HTTP server.
#include "TlsFront.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace emu::link
{

namespace
{

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

TlsFront::TlsFront(const TlsFiles& files) : m_context(SSL_CTX_new(TLS_server_method()))
{
    if (!m_context ||
        SSL_CTX_use_certificate_file(m_context, files.certFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_context, files.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(m_context);
        throw std::runtime_error("cannot use the certificate " + files.certFile);
    }
}

TlsFront::~TlsFront()
{
    stop();
    SSL_CTX_free(m_context);
}

void TlsFront::serve(int client, int target)
{
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(m_context), SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), client) != 1 || SSL_accept(ssl.get()) != 1)
        return;
    char buffer[16384];
    bool clientOpen = true;
    for (;;) {
        // Bytes already decrypted wait in the TLS layer, where poll() cannot see them.
        bool pending = clientOpen && SSL_pending(ssl.get()) > 0;
        pollfd fds[2] = {{clientOpen ? client : -1, POLLIN, 0}, {target, POLLIN, 0}};
        if (!pending && poll(fds, 2, -1) < 0)
            return;
        if (pending || (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            int n = SSL_read(ssl.get(), buffer, sizeof buffer);
            if (n > 0) {
                if (!writeAll(target, buffer, size_t(n)))
                    return;
            } else {
                // The client is done sending; the server may still answer.
                clientOpen = false;
                shutdown(target, SHUT_WR);
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(target, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (clientOpen)
                    SSL_shutdown(ssl.get());
                return;
            }
            if (SSL_write(ssl.get(), buffer, int(n)) <= 0)
                return;
        }
    }
}

} // namespace emu::link

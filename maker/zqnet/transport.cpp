#include "transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zqnet {

int MillisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    return left.count() > 1000000 ? 1000000 : static_cast<int>(left.count()) + 1;
}

SSL_CTX* NewClientTlsContext() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        return nullptr;
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // Units carry self-made certificates; the login's challenge and response proves the unit
    // knows the password, the TLS session keeps the traffic private.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

Io Transport::Wait(short events, Clock::time_point deadline, int cancel_fd) const {
    for (;;) {
        pollfd p[2] = {{fd_, events, 0}, {cancel_fd, POLLIN, 0}};
        int n = poll(p, cancel_fd >= 0 ? 2 : 1, MillisecondsUntil(deadline));
        if (n > 0)
            return cancel_fd >= 0 && p[1].revents != 0 ? Io::kClosed : Io::kDone;
        if (n == 0)
            return Io::kWouldBlock;
        if (errno != EINTR)
            return Io::kDone;  // let the next read or write report the error
    }
}

std::unique_ptr<Transport> Transport::Connect(const std::string& address, int port, SSL_CTX* tls,
                                              Clock::time_point deadline, int cancel_fd,
                                              ConnectError* error) {
    *error = ConnectError::kNone;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    // 0.0.0.0 (what an empty address field gives) would reach this machine itself: no unit.
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1 ||
        to.sin_addr.s_addr == htonl(INADDR_ANY)) {
        *error = ConnectError::kBadAddress;
        return nullptr;
    }
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = ConnectError::kUnreachable;
        return nullptr;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_ptr<Transport> t(new Transport(fd, nullptr));
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINPROGRESS) {
            *error = errno == ECONNREFUSED ? ConnectError::kRefused : ConnectError::kUnreachable;
            return nullptr;
        }
        if (Io w = t->Wait(POLLOUT, deadline, cancel_fd); w != Io::kDone) {
            *error = w == Io::kClosed ? ConnectError::kCancelled : ConnectError::kTimedOut;
            return nullptr;
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        if (so_error != 0) {
            *error = so_error == ECONNREFUSED ? ConnectError::kRefused : ConnectError::kUnreachable;
            return nullptr;
        }
    }
    if (tls == nullptr)
        return t;

    t->ssl_ = SSL_new(tls);
    if (t->ssl_ == nullptr || SSL_set_fd(t->ssl_, fd) != 1) {
        *error = ConnectError::kTls;
        return nullptr;
    }
    for (;;) {
        int ret = SSL_connect(t->ssl_);
        if (ret == 1)
            break;
        int why = SSL_get_error(t->ssl_, ret);
        short events = why == SSL_ERROR_WANT_READ    ? POLLIN
                       : why == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                     : 0;
        if (events == 0) {
            ERR_clear_error();
            *error = ConnectError::kTls;
            return nullptr;
        }
        if (Io w = t->Wait(events, deadline, cancel_fd); w != Io::kDone) {
            *error = w == Io::kClosed ? ConnectError::kCancelled : ConnectError::kTimedOut;
            return nullptr;
        }
    }
    return t;
}

Transport::~Transport() {
    if (ssl_ != nullptr) {
        SSL_shutdown(ssl_);  // one close_notify, not waiting for the peer's
        SSL_free(ssl_);
    }
    close(fd_);
}

Io Transport::SslResult(int ret) {
    int why = SSL_get_error(ssl_, ret);
    if (why == SSL_ERROR_WANT_READ) {
        waiting_for_ = POLLIN;
        return Io::kWouldBlock;
    }
    if (why == SSL_ERROR_WANT_WRITE) {
        waiting_for_ = POLLOUT;
        return Io::kWouldBlock;
    }
    ERR_clear_error();
    return Io::kClosed;
}

Io Transport::Read(std::uint8_t* data, std::size_t n, std::size_t* moved) {
    *moved = 0;
    if (n == 0)
        return Io::kDone;
    if (ssl_ != nullptr) {
        int ret = SSL_read_ex(ssl_, data, n, moved);
        return ret == 1 ? Io::kDone : SslResult(ret);
    }
    for (;;) {
        ssize_t got = recv(fd_, data, n, 0);
        if (got > 0) {
            *moved = static_cast<std::size_t>(got);
            return Io::kDone;
        }
        if (got == 0)
            return Io::kClosed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waiting_for_ = POLLIN;
            return Io::kWouldBlock;
        }
        return Io::kClosed;
    }
}

Io Transport::Write(const std::uint8_t* data, std::size_t n, std::size_t* moved) {
    *moved = 0;
    if (n == 0)
        return Io::kDone;
    if (ssl_ != nullptr) {
        int ret = SSL_write_ex(ssl_, data, n, moved);
        return ret == 1 ? Io::kDone : SslResult(ret);
    }
    for (;;) {
        ssize_t put = send(fd_, data, n, MSG_NOSIGNAL);
        if (put >= 0) {
            *moved = static_cast<std::size_t>(put);
            return Io::kDone;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waiting_for_ = POLLOUT;
            return Io::kWouldBlock;
        }
        return Io::kClosed;
    }
}

}  // namespace zqnet

// A TCP stream to a unit, optionally inside TLS 1.3, with non-blocking reads and writes.
//
// One Transport is used by one thread at a time. Connect blocks until the stream is ready
// (TCP connected and, with TLS, the handshake done) or the deadline passes.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zqnet {

using Clock = std::chrono::steady_clock;

enum class ConnectError { kNone, kBadAddress, kRefused, kUnreachable, kTimedOut, kTls, kCancelled };

enum class Io { kDone, kWouldBlock, kClosed };

class Transport {
  public:
    // Connects to a dotted IPv4 address and port. tls may be null for a plain stream. Readable
    // data on cancel_fd (if not -1) abandons the attempt (kCancelled).
    static std::unique_ptr<Transport> Connect(const std::string& address, int port, SSL_CTX* tls,
                                              Clock::time_point deadline, int cancel_fd,
                                              ConnectError* error);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    int fd() const { return fd_; }
    SSL* ssl() const { return ssl_; }  // null for a plain stream

    // Reads or writes up to n bytes; *moved is set to the count moved when kDone.
    Io Read(std::uint8_t* data, std::size_t n, std::size_t* moved);
    Io Write(const std::uint8_t* data, std::size_t n, std::size_t* moved);

    // The poll events the last kWouldBlock is waiting for (POLLIN or POLLOUT).
    short waiting_for() const { return waiting_for_; }

    // Waits until the stream is ready for `events`, the deadline passes or cancel_fd (if not -1)
    // is readable. kDone when ready, kWouldBlock on time-out, kClosed when cancelled.
    Io Wait(short events, Clock::time_point deadline, int cancel_fd) const;

  private:
    Transport(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    Io SslResult(int ret);

    int fd_;
    SSL* ssl_;
    short waiting_for_ = 0;
};

// The client context of the library: TLS 1.3 only. Null when OpenSSL cannot make one.
SSL_CTX* NewClientTlsContext();

// Milliseconds from now to the deadline, at least 0, for poll().
int MillisecondsUntil(Clock::time_point deadline);

}  // namespace zqnet

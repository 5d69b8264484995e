// A bare station side for the simulator's own tests: one blocking TCP (optionally TLS 1.3)
// connection speaking the wire protocol through the shared codec. Not a library for the station.
#pragma once

#include "protocol/protocol.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace unitsim::testing {

class TestClient {
  public:
    ~TestClient() { Close(); }

    // Connects to address:port and takes the unit's greeting (its login challenge, sent in
    // clear); with tls, then runs a TLS 1.3 handshake. True once connected: a unit that sends no
    // greeting within the time-out leaves a connected client without a challenge (and no TLS).
    bool Connect(const std::string& address, uint16_t port, bool tls, int timeoutMs = 3000) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            return false;
        greeting_ = Read();
        if (!greeting_)
            return true;
        if (greeting_->kind != zqproto::Kind::kLoginChallenge || reader_.buffered() != 0)
            return false;
        if (!tls)
            return true;
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        if (SSL_connect(ssl_) != 1 || !zqproto::TlsChannelBinding(ssl_, binding_))
            return false;
        tls_ = true;
        return true;
    }

    // The challenge the unit greeted with, if any.
    const std::optional<zqproto::Message>& greeting() const { return greeting_; }

    void Close() {
        if (ssl_) {
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        if (ctx_) {
            SSL_CTX_free(ctx_);
            ctx_ = nullptr;
        }
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        ERR_clear_error();
    }

    bool SendRaw(const std::vector<uint8_t>& bytes) {
        sent_.insert(sent_.end(), bytes.begin(), bytes.end());
        if (ssl_)
            return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0;
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    bool Send(zqproto::Message m) {
        m.sequence = ++sequence_;
        return SendRaw(zqproto::Encode(m));
    }

    // The next frame from the unit, or nothing on close, time-out or a bad frame.
    std::optional<zqproto::Message> Read() {
        for (;;) {
            zqproto::Frame frame;
            auto s = reader_.Next(frame);
            if (s == zqproto::FrameReader::Status::kError)
                return std::nullopt;
            if (s == zqproto::FrameReader::Status::kFrame) {
                zqproto::Message m;
                if (!zqproto::Decode(frame, m))
                    return std::nullopt;
                return m;
            }
            uint8_t buffer[4096];
            int n = ssl_ ? SSL_read(ssl_, buffer, sizeof(buffer))
                         : static_cast<int>(::recv(fd_, buffer, sizeof(buffer), 0));
            if (n <= 0)
                return std::nullopt;
            received_.insert(received_.end(), buffer, buffer + n);
            reader_.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
        }
    }

    // True when the unit has closed the connection (read returns end of stream or an error).
    bool Closed() {
        uint8_t byte;
        errno = 0;
        if (ssl_) {
            int n = SSL_read(ssl_, &byte, 1);
            if (n > 0)
                return false;
            int e = SSL_get_error(ssl_, n);
            ERR_clear_error();
            return e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SSL ||
                   (e == SSL_ERROR_SYSCALL && errno != EAGAIN && errno != EWOULDBLOCK);
        }
        ssize_t n = ::recv(fd_, &byte, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

    // The whole login; returns the status, or 0 when no answer came.
    uint32_t Login(const std::string& user, const std::string& password) {
        if (!greeting_ || greeting_->kind != zqproto::Kind::kLoginChallenge)
            return 0;
        zqproto::Message proof;
        proof.kind = zqproto::Kind::kLoginProof;
        proof.user = user;
        zqproto::LoginProof(password, greeting_->token, user,
                            tls_ ? std::span<const uint8_t>(binding_) : std::span<const uint8_t>(),
                            proof.token);
        if (!Send(proof))
            return 0;
        auto result = Read();
        if (!result || result->kind != zqproto::Kind::kLoginResult)
            return 0;
        return result->code;
    }

    // One request and its reply (alarms in between are kept in `alarms`).
    std::optional<zqproto::Message> Request(zqproto::Kind kind, uint32_t code, uint32_t size = 0,
                                            std::vector<uint8_t> data = {}) {
        zqproto::Message m;
        m.kind = kind;
        m.code = code;
        m.size = size;
        m.data = std::move(data);
        if (!Send(m))
            return std::nullopt;
        for (;;) {
            auto reply = Read();
            if (!reply)
                return std::nullopt;
            if (reply->kind == zqproto::Kind::kAlarm) {
                alarms.push_back(*reply);
                continue;
            }
            if (reply->kind == zqproto::Kind::kMediaPiece) {
                media.push_back(*reply);
                continue;
            }
            return reply;
        }
    }

    std::vector<zqproto::Message> alarms;
    std::vector<zqproto::Message> media;  // media pieces that came before a reply
    const std::vector<uint8_t>& sent() const { return sent_; }
    const std::vector<uint8_t>& received() const { return received_; }

  private:
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    bool tls_ = false;
    zqproto::Token binding_{};
    std::optional<zqproto::Message> greeting_;
    uint32_t sequence_ = 0;
    zqproto::FrameReader reader_;
    std::vector<uint8_t> sent_, received_;
};

// One search probe to address:port; the answer's device record bytes, or empty.
inline std::vector<uint8_t> Probe(const std::string& address, uint16_t port, uint32_t id = 7,
                                  int timeoutMs = 1000) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    zqproto::Message probe;
    probe.kind = zqproto::Kind::kSearchProbe;
    probe.sequence = id;
    std::vector<uint8_t> bytes = zqproto::Encode(probe);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    pollfd p{fd, POLLIN, 0};
    std::vector<uint8_t> out;
    if (::poll(&p, 1, timeoutMs) == 1) {
        uint8_t buffer[2048];
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        zqproto::Message answer;
        if (n > 0 &&
            zqproto::DecodeDatagram(std::span<const uint8_t>(buffer, static_cast<size_t>(n)),
                                    answer) &&
            answer.kind == zqproto::Kind::kSearchAnswer && answer.sequence == id) {
            out = answer.data;
        }
    }
    ::close(fd);
    return out;
}

}  // namespace unitsim::testing

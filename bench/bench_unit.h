// TEMPORARY stand-in until the simulator lands: a plain-TCP unit made from the codec.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "protocol/protocol.h"

struct BenchUnit {
    std::string address = "127.0.0.1";
    int port = 0;
    std::string user = "admin";
    std::string password = "pw";
};

class BenchUnits {
public:
    explicit BenchUnits(int) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        unit_.port = ntohs(a.sin_port);
        listen(listener_, 64);
        thread_ = std::thread([this] {
            while (!done_) {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                int fd = accept(listener_, nullptr, nullptr);
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::thread([fd] { Serve(fd); }).detach();
            }
        });
    }
    ~BenchUnits() { done_ = true; thread_.join(); }
    const BenchUnit& First() const { return unit_; }
    std::string SearchTargets() const { return "127.0.0.1:1"; }

private:
    static bool Read(int fd, zqproto::FrameReader& r, zqproto::Message& m) {
        zqproto::Frame f;
        for (;;) {
            auto s = r.Next(f);
            if (s == zqproto::FrameReader::Status::kFrame) return zqproto::Decode(f, m);
            if (s == zqproto::FrameReader::Status::kError) return false;
            uint8_t b[4096];
            ssize_t n = recv(fd, b, sizeof b, 0);
            if (n <= 0) return false;
            r.Feed({b, static_cast<size_t>(n)});
        }
    }
    static void Send(int fd, const zqproto::Message& m) {
        auto b = zqproto::Encode(m);
        send(fd, b.data(), b.size(), MSG_NOSIGNAL);
    }
    static void Serve(int fd) {
        zqproto::FrameReader r;
        zqproto::Message m;
        if (Read(fd, r, m)) {
            zqproto::Message c;
            c.kind = zqproto::Kind::kLoginChallenge;
            c.sequence = m.sequence;
            zqproto::RandomToken(c.token);
            Send(fd, c);
            std::string user = m.user;
            if (Read(fd, r, m)) {
                zqproto::Token t;
                zqproto::LoginProof("pw", c.token, user, {}, t);
                zqproto::Message res;
                res.kind = zqproto::Kind::kLoginResult;
                res.sequence = m.sequence;
                res.code = zqproto::TokensEqual(t, m.token) ? 101 : 104;
                Send(fd, res);
                while (Read(fd, r, m)) {
                    zqproto::Message rep;
                    rep.kind = static_cast<zqproto::Kind>(static_cast<uint16_t>(m.kind) | 0x8000);
                    rep.sequence = m.sequence;
                    if (m.kind == zqproto::Kind::kQueryParam) rep.data.assign(116, 0);
                    Send(fd, rep);
                }
            }
        }
        close(fd);
    }
    int listener_;
    BenchUnit unit_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

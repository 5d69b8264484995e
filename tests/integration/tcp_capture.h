// A TCP relay on loopback that records every byte of both directions, for tests that inspect
// what crosses the wire between the library and a unit.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

class TcpCapture {
  public:
    // Relays connections made to port() on 127.0.0.1 to target_ip:target_port.
    TcpCapture(const std::string& target_ip, int target_port) {
        target_.sin_family = AF_INET;
        target_.sin_port = htons(static_cast<std::uint16_t>(target_port));
        inet_pton(AF_INET, target_ip.c_str(), &target_.sin_addr);
        listener_ = ListenOnLoopback(8, &port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~TcpCapture() {
        done_ = true;
        thread_.join();
        for (auto& t : relays_)
            t.join();
        close(listener_);
    }
    int port() const { return port_; }

    // Everything sent so far in one direction: 0 station to unit, 1 unit to station.
    std::string Captured(int direction) {
        std::lock_guard lock(mutex_);
        return std::string(bytes_[direction].begin(), bytes_[direction].end());
    }

  private:
    void Run() {
        while (!done_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            int station = accept(listener_, nullptr, nullptr);
            if (station < 0)
                continue;
            int unit = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(unit, reinterpret_cast<sockaddr*>(&target_), sizeof target_) != 0) {
                close(unit);
                close(station);
                continue;
            }
            relays_.emplace_back([this, station, unit] { Relay(station, unit); });
        }
    }
    void Relay(int a, int b) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        std::uint8_t buf[8192];
        while (!done_) {
            if (poll(p, 2, 20) <= 0)
                continue;
            bool closed = false;
            for (int i = 0; i < 2; ++i) {
                if (p[i].revents == 0)
                    continue;
                ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    closed = true;
                    break;
                }
                {
                    std::lock_guard lock(mutex_);
                    bytes_[i].insert(bytes_[i].end(), buf, buf + n);
                }
                send(p[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
            if (closed)
                break;
        }
        close(a);
        close(b);
    }

    sockaddr_in target_{};
    int listener_;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
    std::vector<std::thread> relays_;
    std::mutex mutex_;
    std::vector<std::uint8_t> bytes_[2];
};

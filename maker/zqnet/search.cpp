#include "search.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "transport.h"
#include "wire.h"

namespace zqnet {

Search::Search(const ZQNetSearchRequest& request, const Config& config)
    : callback_(request.callback), user_(request.userValue), config_(config) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

Search::~Search() {
    if (wake_fd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

void Search::Run() {
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = true; }
    } done{finished_};
    Clock::time_point end = Clock::now() + config_.search_window;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::uint32_t token = std::random_device{}();
    if (fd >= 0) {
        int size = 1 << 20;  // room for many answers arriving at once
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        zqproto::Message probe_message;
        probe_message.kind = zqproto::Kind::kSearchProbe;
        probe_message.sequence = token;
        std::vector<std::uint8_t> probe = zqproto::Encode(probe_message);
        std::size_t sent = 0;
        for (const SearchTarget& t : config_.search_targets) {
            for (std::uint64_t a = t.first; a <= t.last && sent < kMaxSearchAddresses;
                 ++a, ++sent) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(a));
                to.sin_port = htons(t.port);
                sendto(fd, probe.data(), probe.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to);
            }
        }
    }
    std::set<std::pair<std::string, std::string>> seen;  // (address, MAC) of units reported
    bool go_on = true;
    bool cancelled = false;
    std::uint8_t datagram[2048];
    while (go_on && fd >= 0) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        int n = poll(p, 2, MillisecondsUntil(end));
        if (n < 0 && errno == EINTR)
            continue;
        if (p[1].revents != 0) {
            cancelled = true;
            break;
        }
        if (n <= 0)
            break;  // the window has passed
        for (;;) {
            ssize_t got = recv(fd, datagram, sizeof datagram, 0);
            if (got < 0)
                break;
            ZQNetDeviceRecord record{};
            if (!DecodeSearchAnswer(datagram, static_cast<std::size_t>(got), token, &record))
                continue;
            if (seen.size() >= static_cast<std::size_t>(kMaxSearchDevices))
                continue;
            if (!seen.emplace(record.ip, record.mac).second)
                continue;
            if (callback_(&record, user_) == 0) {
                go_on = false;
                break;
            }
        }
        if (Clock::now() >= end)
            break;
    }
    if (fd >= 0)
        close(fd);
    if (go_on && !cancelled)
        callback_(nullptr, user_);
}

}  // namespace zqnet

// The device search of libZQNet against scripted responders on loopback addresses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/ZQNet.h"
#include "protocol/protocol.h"

namespace {

using namespace std::chrono_literals;

ZQNetDeviceRecord UnitRecord(int index) {
    ZQNetDeviceRecord r{};
    std::snprintf(r.ip, sizeof r.ip, "127.0.%d.%d", 90 + index / 256, index % 256);
    std::snprintf(r.mac, sizeof r.mac, "00:12:34:00:%02X:%02X", index / 256, index % 256);
    std::strcpy(r.typeName, "NVR-8");
    r.mediaPort = 34567;
    return r;
}

// Unit i listens on 127.0.90.i, all on one free port, and answers each probe with what `answer`
// makes of it.
class Responders {
  public:
    using Answer =
        std::function<std::vector<std::vector<std::uint8_t>>(int index, const zqproto::Message&)>;
    Responders(int count, Answer answer) : answer_(std::move(answer)) {
        // The first socket picks the port; another run on this machine may hold it on another
        // address, and then all start again.
        for (int attempt = 0; attempt < 20 && static_cast<int>(fds_.size()) < count; ++attempt) {
            for (int fd : fds_)
                close(fd);
            fds_.clear();
            port_ = 0;
            for (int i = 0; i < count; ++i) {
                int fd = socket(AF_INET, SOCK_DGRAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(port_);
                a.sin_addr.s_addr = htonl(0x7F005A00u + static_cast<std::uint32_t>(i));
                if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                    close(fd);
                    break;
                }
                socklen_t len = sizeof a;
                getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
                port_ = ntohs(a.sin_port);
                fds_.push_back(fd);
            }
        }
        EXPECT_EQ(static_cast<int>(fds_.size()), count);
        thread_ = std::thread([this] { Run(); });
    }
    // "first-last:port" for the library's search targets.
    std::string Targets(int first, int last) const {
        return "127.0.90." + std::to_string(first) + "-127.0.90." + std::to_string(last) + ":" +
               std::to_string(port_);
    }
    ~Responders() {
        done_ = true;
        thread_.join();
        for (int fd : fds_)
            close(fd);
    }
    int probes() const { return probes_; }

    static std::vector<std::uint8_t> AnswerWith(const zqproto::Message& probe,
                                                const ZQNetDeviceRecord& record) {
        zqproto::Message m;
        m.kind = zqproto::Kind::kSearchAnswer;
        m.sequence = probe.sequence;
        const auto* b = reinterpret_cast<const std::uint8_t*>(&record);
        m.data.assign(b, b + sizeof record);
        return zqproto::Encode(m);
    }

  private:
    void Run() {
        std::vector<pollfd> p;
        for (int fd : fds_)
            p.push_back({fd, POLLIN, 0});
        while (!done_) {
            if (poll(p.data(), p.size(), 20) <= 0)
                continue;
            for (std::size_t i = 0; i < p.size(); ++i) {
                if (p[i].revents == 0)
                    continue;
                std::uint8_t buf[2048];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n =
                    recvfrom(p[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                zqproto::Message probe;
                if (n <= 0 || !zqproto::DecodeDatagram({buf, static_cast<std::size_t>(n)}, probe) ||
                    probe.kind != zqproto::Kind::kSearchProbe)
                    continue;
                ++probes_;
                for (auto& d : answer_(static_cast<int>(i), probe))
                    sendto(p[i].fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            }
        }
    }

    Answer answer_;
    std::vector<int> fds_;
    std::uint16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<int> probes_{0};
    std::thread thread_;
};

// What a search delivered.
struct Found {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ZQNetDeviceRecord> records;
    int ends = 0;         // calls without a record
    int stop_after = -1;  // return 0 after this many records
    bool ended = false;   // returned 0 or got the end

    static int32_t OnDevice(const ZQNetDeviceRecord* record, void* user) {
        auto* f = static_cast<Found*>(user);
        std::lock_guard lock(f->mutex);
        if (record == nullptr) {
            ++f->ends;
            f->ended = true;
            f->changed.notify_all();
            return 0;
        }
        f->records.push_back(*record);
        if (f->stop_after >= 0 && static_cast<int>(f->records.size()) >= f->stop_after) {
            f->ended = true;
            f->changed.notify_all();
            return 0;
        }
        return 1;
    }
    void WaitEnd() {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 5s, [&] { return ended; });
    }
};

void Search(Found& found) {
    ZQNetSearchRequest request{};
    request.callback = Found::OnDevice;
    request.userValue = &found;
    ASSERT_EQ(ZQNetSearchDev(&request), 1);
}

void InitWithTargets(const char* targets, const char* window_ms = "300") {
    ZQNetRelease();
    setenv("ZQNET_SEARCH_TARGETS", targets, 1);
    setenv("ZQNET_SEARCH_WINDOW_MS", window_ms, 1);
    ASSERT_EQ(ZQNetInit(), 1);
}

class ZQNetSearch : public ::testing::Test {
  protected:
    void TearDown() override { ZQNetRelease(); }
};

TEST_F(ZQNetSearch, Lists256UnitsOnceEachThenEnds) {
    Responders units(256, [](int i, const zqproto::Message& probe) {
        // Each answers twice: the library reports a unit once.
        auto a = Responders::AnswerWith(probe, UnitRecord(i));
        return std::vector<std::vector<std::uint8_t>>{a, a};
    });
    InitWithTargets(units.Targets(0, 255).c_str());
    Found found;
    Search(found);
    found.WaitEnd();
    std::lock_guard lock(found.mutex);
    EXPECT_EQ(found.ends, 1);
    ASSERT_EQ(found.records.size(), 256u);
    std::set<std::string> ips;
    for (auto& r : found.records) {
        ips.insert(r.ip);
        EXPECT_EQ(r.mediaPort, 34567);
    }
    EXPECT_EQ(ips.size(), 256u);
    EXPECT_EQ(ips.count("127.0.90.255"), 1u);
}

TEST_F(ZQNetSearch, AnRvmsUnitIsDeliveredLikeAnyOther) {
    // Skipping "RVMS" units is the station's choice, not the library's.
    Responders units(2, [](int i, const zqproto::Message& probe) {
        ZQNetDeviceRecord r = UnitRecord(i);
        std::strcpy(r.typeName, i == 0 ? "RVMS" : "rvms");
        return std::vector<std::vector<std::uint8_t>>{Responders::AnswerWith(probe, r)};
    });
    InitWithTargets(units.Targets(0, 1).c_str());
    Found found;
    Search(found);
    found.WaitEnd();
    std::lock_guard lock(found.mutex);
    ASSERT_EQ(found.records.size(), 2u);
    std::set<std::string> names{found.records[0].typeName, found.records[1].typeName};
    EXPECT_EQ(names, (std::set<std::string>{"RVMS", "rvms"}));
}

TEST_F(ZQNetSearch, ACallbackThatReturnsZeroGetsNoFurtherCall) {
    Responders units(50, [](int i, const zqproto::Message& probe) {
        return std::vector<std::vector<std::uint8_t>>{Responders::AnswerWith(probe, UnitRecord(i))};
    });
    InitWithTargets(units.Targets(0, 49).c_str(), "200");
    Found found;
    found.stop_after = 5;
    Search(found);
    found.WaitEnd();
    std::this_thread::sleep_for(400ms);  // past the window
    std::lock_guard lock(found.mutex);
    EXPECT_EQ(found.records.size(), 5u);
    EXPECT_EQ(found.ends, 0);
}

TEST_F(ZQNetSearch, HostileAnswersAreDroppedOrMadeSafe) {
    Responders units(1, [](int, const zqproto::Message& probe) {
        ZQNetDeviceRecord full;
        std::memset(&full, 'A', sizeof full);  // no text ends inside its field
        full.mediaPort = 1;
        zqproto::Message other = probe;
        other.sequence = probe.sequence + 1;
        auto wrong_id = Responders::AnswerWith(other, UnitRecord(7));
        auto good = Responders::AnswerWith(probe, full);
        auto short_one = good;
        short_one.resize(100);
        auto long_one = good;
        long_one.push_back(0);
        return std::vector<std::vector<std::uint8_t>>{
            wrong_id, short_one, long_one, {1, 2, 3}, good};
    });
    InitWithTargets(units.Targets(0, 0).c_str());
    Found found;
    Search(found);
    found.WaitEnd();
    std::lock_guard lock(found.mutex);
    ASSERT_EQ(found.records.size(), 1u);
    const ZQNetDeviceRecord& r = found.records[0];
    EXPECT_EQ(std::strlen(r.ip), sizeof r.ip - 1);
    EXPECT_EQ(std::strlen(r.netmask), sizeof r.netmask - 1);
    EXPECT_EQ(std::strlen(r.typeName), sizeof r.typeName - 1);
    EXPECT_EQ(std::strlen(r.version), sizeof r.version - 1);
    EXPECT_EQ(std::strlen(r.mac), sizeof r.mac - 1);
}

TEST_F(ZQNetSearch, ProbesGoOnlyToTheConfiguredTargets) {
    Responders units(3, [](int i, const zqproto::Message& probe) {
        return std::vector<std::vector<std::uint8_t>>{Responders::AnswerWith(probe, UnitRecord(i))};
    });
    InitWithTargets(units.Targets(1, 1).c_str(), "150");
    Found found;
    Search(found);
    found.WaitEnd();
    std::lock_guard lock(found.mutex);
    ASSERT_EQ(found.records.size(), 1u);
    EXPECT_STREQ(found.records[0].ip, "127.0.90.1");
    EXPECT_EQ(units.probes(), 1);
}

TEST_F(ZQNetSearch, ReleaseEndsARunningSearchWithoutFurtherCalls) {
    InitWithTargets("127.0.90.0:9", "5000");  // nothing answers
    Found found;
    Search(found);
    auto start = std::chrono::steady_clock::now();
    ZQNetRelease();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    std::lock_guard lock(found.mutex);
    EXPECT_EQ(found.ends, 0);
}

TEST(ZQNetSearchConfig, MalformedTargetsLeaveTheDefault) {
    // Nothing answers on the default target here; the search still ends normally.
    ZQNetRelease();
    setenv("ZQNET_SEARCH_TARGETS", "127.0.0.300,", 1);
    setenv("ZQNET_SEARCH_WINDOW_MS", "100", 1);
    ASSERT_EQ(ZQNetInit(), 1);
    Found found;
    Search(found);
    found.WaitEnd();
    EXPECT_EQ(found.ends, 1);
    ZQNetRelease();
}

}  // namespace

// libZQNet against the unit simulator on loopback: the median time of one provisioning cycle
// (connect + login + temporary query + write + stop) next to the floor, a bare TCP request and
// reply between two threads of this process; and the time a search of 256 units takes beyond
// its search window to list them all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/ZQNet.h"
#include "login_wait.h"
#include "protocol/protocol.h"
#include "unit-sim/simulator.h"

namespace {

struct BenchUnit {
    std::string address;
    int port;
    std::string user;
    std::string password;
};

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void NoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool ReadExactly(int fd, char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// The floor: a server thread that answers each 32-byte request with 32 bytes.
struct EchoServer {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    std::atomic<bool> done{false};
    std::thread thread;
    EchoServer() {
        sockaddr_in a = Loopback(0);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        listen(listener, 64);
        thread = std::thread([this] {
            while (!done) {
                pollfd p{listener, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                int fd = accept(listener, nullptr, nullptr);
                if (fd < 0)
                    continue;
                NoDelay(fd);
                char buf[32];
                while (ReadExactly(fd, buf, sizeof buf))
                    send(fd, buf, sizeof buf, MSG_NOSIGNAL);
                close(fd);
            }
        });
    }
    ~EchoServer() {
        done = true;
        thread.join();
        close(listener);
    }
};

int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    NoDelay(fd);
    sockaddr_in a = Loopback(port);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// Time spent in each step of the cycles measured (microseconds, summed).
std::vector<double> step_time[4];

// One cycle as a tab runs it; false when any step failed.
bool Cycle(const BenchUnit& unit) {
    auto t0 = Clock::now();
    LoginWait login;
    ZQNetConnectionRecord record{};
    record.address = unit.address.c_str();
    record.port = unit.port;
    record.user = unit.user.c_str();
    record.password = unit.password.c_str();
    record.userValue = &login;
    record.statusCallback = LoginWait::OnStatus;
    ZQNET_HANDLE h = ZQNetConnectionStartEx(&record);
    bool ok = login.Wait() == ZQNET_STATUS_LOGGED_IN;
    auto t1 = Clock::now();
    ZQNetMacRecord mac{};
    mac.size = sizeof mac;
    ZQNetTempParamRequest query{};
    query.code = ZQNET_PARAM_MAC_QUERY;
    query.buffer = &mac;
    query.size = sizeof mac;
    ok = ok && ZQNetQueryTemporaryParam(h, &query) == 1;
    auto t2 = Clock::now();
    mac.size = sizeof mac;
    mac.mac[5] ^= 1;
    ZQNetParamRequest write{};
    write.command = ZQNET_PARAM_MAC_SET;
    write.buffer = &mac;
    write.size = sizeof mac;
    write.write = 1;
    ok = ok && ZQNetSetParamEx(h, &write) == 1;
    auto t3 = Clock::now();
    if (h != 0)
        ZQNetConnectionStop(&h);
    auto t4 = Clock::now();
    step_time[0].push_back(Micros(t1 - t0));
    step_time[1].push_back(Micros(t2 - t1));
    step_time[2].push_back(Micros(t3 - t2));
    step_time[3].push_back(Micros(t4 - t3));
    return ok;
}

double MedianCycle(const BenchUnit& unit, int rounds, const char* label) {
    for (int i = 0; i < 20; ++i)
        Cycle(unit);  // warm up
    std::vector<double> times;
    for (auto& t : step_time)
        t.clear();
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        if (!Cycle(unit)) {
            std::fprintf(stderr, "zqnet_bench: a cycle failed\n");
            std::exit(1);
        }
        times.push_back(Micros(Clock::now() - t0));
    }
    std::printf(
        "%s steps (median): start + login %.1f us, query %.1f us, write %.1f us, "
        "stop %.1f us\n",
        label, Median(step_time[0]), Median(step_time[1]), Median(step_time[2]),
        Median(step_time[3]));
    return Median(times);
}

// The same cycle by hand on the bench's own thread, over a raw socket with the codec: what the
// protocol and the simulator cost without the library's threads and callbacks.
bool RawCycle(const BenchUnit& unit) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    NoDelay(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(unit.port));
    inet_pton(AF_INET, unit.address.c_str(), &a.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    zqproto::FrameReader reader;
    auto receive = [&](zqproto::Message& in) {
        zqproto::Frame frame;
        for (;;) {
            auto st = reader.Next(frame);
            if (st == zqproto::FrameReader::Status::kFrame)
                return zqproto::Decode(frame, in);
            if (st == zqproto::FrameReader::Status::kError)
                return false;
            std::uint8_t buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            reader.Feed({buf, static_cast<std::size_t>(n)});
        }
    };
    auto exchange = [&](const zqproto::Message& out, zqproto::Message& in) {
        std::vector<std::uint8_t> bytes = zqproto::Encode(out);
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(bytes.size()) &&
               receive(in);
    };
    // The unit greets with its challenge; the proof answers it.
    zqproto::Message m, in;
    ok = ok && receive(in) && in.kind == zqproto::Kind::kLoginChallenge;
    m.kind = zqproto::Kind::kLoginProof;
    m.sequence = 1;
    m.user = unit.user;
    ok = ok && zqproto::LoginProof(unit.password, in.token, unit.user, {}, m.token);
    ok = ok && exchange(m, in) && in.code == ZQNET_STATUS_LOGGED_IN;
    m = {};
    m.kind = zqproto::Kind::kQueryParam;
    m.sequence = 2;
    m.code = ZQNET_PARAM_MAC_QUERY;
    m.size = sizeof(ZQNetMacRecord);
    ok = ok && exchange(m, in) && in.code == 0 && in.data.size() == sizeof(ZQNetMacRecord);
    zqproto::Message w;
    w.kind = zqproto::Kind::kSetParam;
    w.sequence = 3;
    w.code = ZQNET_PARAM_MAC_SET;
    w.data = in.data;
    ok = ok && exchange(w, in) && in.code == 0;
    close(fd);
    return ok;
}

struct SearchEnd {
    std::mutex mutex;
    std::condition_variable changed;
    int records = 0;
    bool ended = false;
    Clock::time_point end_time;
    static int32_t OnDevice(const ZQNetDeviceRecord* record, void* user) {
        auto* s = static_cast<SearchEnd*>(user);
        std::lock_guard lock(s->mutex);
        if (record != nullptr) {
            ++s->records;
            return 1;
        }
        s->end_time = Clock::now();
        s->ended = true;
        s->changed.notify_all();
        return 0;
    }
};

}  // namespace

int main() {
    constexpr int kRounds = 400;
    constexpr int kWindowMs = 300;
    // Floor: request and reply on an open connection, and on a fresh one.
    EchoServer echo;
    std::vector<double> open_rt, fresh_rt;
    {
        int fd = ConnectTo(echo.port);
        char buf[32] = {};
        for (int i = 0; i < 2000; ++i) {
            auto t0 = Clock::now();
            send(fd, buf, sizeof buf, 0);
            ReadExactly(fd, buf, sizeof buf);
            open_rt.push_back(Micros(Clock::now() - t0));
        }
        close(fd);
        for (int i = 0; i < kRounds; ++i) {
            auto t0 = Clock::now();
            int f = ConnectTo(echo.port);
            send(f, buf, sizeof buf, 0);
            ReadExactly(f, buf, sizeof buf);
            close(f);
            fresh_rt.push_back(Micros(Clock::now() - t0));
        }
    }
    double floor_open = Median(open_rt), floor_fresh = Median(fresh_rt);

    // One simulated unit for the cycle; 256 (started later) for the search. Free ports, so that
    // other runs on this machine do not meet these.
    auto unit_config = [&](const std::string& address) {
        unitsim::UnitConfig c;
        c.address = address;
        c.mediaPort = 0;
        c.searchPort = 0;
        c.password = "bench-pw";
        return c;
    };
    std::string error;
    auto one = std::make_unique<unitsim::Simulator>();
    if (!one->Start({unit_config("127.0.82.1")}, error)) {
        std::fprintf(stderr, "zqnet_bench: %s\n", error.c_str());
        return 1;
    }
    const BenchUnit unit{"127.0.82.1", one->Units()[0]->config().mediaPort, "admin", "bench-pw"};

    std::vector<double> raw;
    for (int i = 0; i < 20; ++i)
        RawCycle(unit);  // warm up
    for (int i = 0; i < kRounds; ++i) {
        auto t0 = Clock::now();
        if (!RawCycle(unit)) {
            std::fprintf(stderr, "zqnet_bench: a raw cycle failed\n");
            return 1;
        }
        raw.push_back(Micros(Clock::now() - t0));
    }
    ZQNetInit();
    double plain = MedianCycle(unit, kRounds, "plain");
    ZQNetSetEncription(1);
    double tls = MedianCycle(unit, kRounds / 4, "TLS");
    ZQNetSetEncription(0);

    one.reset();
    std::vector<unitsim::UnitConfig> configs;
    for (int i = 0; i < 256; ++i)
        configs.push_back(unit_config("127.0.81." + std::to_string(i)));
    unitsim::Simulator many;
    if (!many.Start(configs, error)) {
        std::fprintf(stderr, "zqnet_bench: %s\n", error.c_str());
        return 1;
    }
    std::string targets;
    for (unitsim::Unit* u : many.Units())
        targets += (targets.empty() ? "" : ",") + u->config().address + ":" +
                   std::to_string(u->config().searchPort);
    ZQNetRelease();
    setenv("ZQNET_SEARCH_TARGETS", targets.c_str(), 1);
    setenv("ZQNET_SEARCH_WINDOW_MS", std::to_string(kWindowMs).c_str(), 1);
    ZQNetInit();
    std::vector<double> beyond;
    int listed = 0;
    for (int i = 0; i < 5; ++i) {
        SearchEnd s;
        ZQNetSearchRequest request{};
        request.callback = SearchEnd::OnDevice;
        request.userValue = &s;
        auto t0 = Clock::now();
        ZQNetSearchDev(&request);
        std::unique_lock lock(s.mutex);
        s.changed.wait_for(lock, std::chrono::seconds(10), [&] { return s.ended; });
        listed = s.records;
        beyond.push_back(Micros(s.end_time - t0) / 1000.0 - kWindowMs);
    }
    ZQNetRelease();

    std::printf("floor: TCP request/reply on an open connection   %8.1f us (median of 2000)\n",
                floor_open);
    std::printf("floor: TCP connect + request/reply + close        %8.1f us (median of %d)\n",
                floor_fresh, kRounds);
    std::printf("cycle: connect + login + temp query + write + stop %7.1f us (median of %d)\n",
                plain, kRounds);
    std::printf("same cycle by hand on a raw socket (no library)   %8.1f us (median of %d)\n",
                Median(raw), kRounds);
    std::printf("cycle with TLS 1.3 (encryption 1)                 %8.1f us (median of %d)\n", tls,
                kRounds / 4);
    std::printf("ratio cycle / open-connection round trip          %8.2f\n", plain / floor_open);
    std::printf("ratio cycle / fresh-connection round trip         %8.2f (aim: within 3)\n",
                plain / floor_fresh);
    std::printf("ratio cycle / same cycle by hand (library's share) %8.2f\n", plain / Median(raw));
    std::printf(
        "search: %d units listed, %.2f ms beyond the %d ms window (median of 5; aim: "
        "under 10 ms)\n",
        listed, Median(beyond), kWindowMs);
    return 0;
}

// libZQNet against scripted units on loopback: a unit that follows the protocol as far as a
// test wants and then misbehaves, so that every failure path of the library is reached.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/ZQNet.h"
#include "protocol/protocol.h"
#include "support/connection_reports.h"
#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;
using zqproto::Kind;
using zqproto::Message;

// Reads one message from a blocking socket; false on close or garbage.
bool ReadMessage(int fd, zqproto::FrameReader& reader, Message& m) {
    zqproto::Frame frame;
    for (;;) {
        auto s = reader.Next(frame);
        if (s == zqproto::FrameReader::Status::kFrame)
            return zqproto::Decode(frame, m);
        if (s == zqproto::FrameReader::Status::kError)
            return false;
        std::uint8_t buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        reader.Feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
    }
}

void SendBytes(int fd, const std::vector<std::uint8_t>& bytes) {
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void SendMessage(int fd, const Message& m) {
    SendBytes(fd, zqproto::Encode(m));
}

Message Reply(const Message& request, std::uint32_t result, std::vector<std::uint8_t> data = {}) {
    Message r;
    r.kind = static_cast<Kind>(static_cast<std::uint16_t>(request.kind) | 0x8000);
    r.sequence = request.sequence;
    r.code = result;
    r.data = std::move(data);
    return r;
}

// One scripted unit: a TCP listener on 127.0.0.1 whose every connection runs the script.
class Peer {
  public:
    using Script = std::function<void(int fd, zqproto::FrameReader& reader)>;
    explicit Peer(Script script) : script_(std::move(script)) {
        listener_ = ListenOnLoopback(16, &port_);
        thread_ = std::thread([this] {
            for (;;) {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) {
                    if (done_)
                        return;
                    continue;
                }
                int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    continue;
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                sessions_.emplace_back([this, fd] {
                    zqproto::FrameReader reader;
                    script_(fd, reader);
                    close(fd);
                });
            }
        });
    }
    ~Peer() {
        done_ = true;
        thread_.join();
        for (auto& s : sessions_)
            s.join();
        close(listener_);
    }
    int port() const { return port_; }

  private:
    Script script_;
    int listener_;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
    std::vector<std::thread> sessions_;
};

constexpr const char* kUser = "admin";
constexpr const char* kPassword = "s3cret-Pa55";

// The unit's side of a login; returns true when it answered 101.
bool AnswerLogin(int fd, zqproto::FrameReader& reader, std::uint32_t status = 101,
                 std::vector<std::uint8_t>* seen = nullptr) {
    // The unit greets with its challenge at once.
    Message challenge, proof;
    challenge.kind = Kind::kLoginChallenge;
    challenge.sequence = 0;
    zqproto::RandomToken(challenge.token);
    SendMessage(fd, challenge);
    if (!ReadMessage(fd, reader, proof) || proof.kind != Kind::kLoginProof)
        return false;
    zqproto::Token expected;
    zqproto::LoginProof(kPassword, challenge.token, proof.user, {}, expected);
    if (status == 101 && !zqproto::TokensEqual(expected, proof.token))
        status = 104;
    if (seen != nullptr) {
        auto b = zqproto::Encode(proof);
        seen->insert(seen->end(), b.begin(), b.end());
    }
    Message result;
    result.kind = Kind::kLoginResult;
    result.sequence = proof.sequence;
    result.code = status;
    SendMessage(fd, result);
    return status == 101;
}

using Reports = ConnectionReports;

ZQNET_HANDLE Connect(const char* address, int port, Reports& reports,
                     const char* password = kPassword, const char* user = kUser) {
    return reports.Start(address, port, user, password);
}

int UnusedPort() {
    return UnusedLoopbackPort();
}

class ZQNetPeer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("ZQNET_LOGIN_TIMEOUT_MS", "400", 1);
        setenv("ZQNET_CALL_TIMEOUT_MS", "300", 1);
    }
    void SetUp() override { ASSERT_EQ(ZQNetInit(), 1); }
    void TearDown() override { ZQNetRelease(); }
};

void Linger(int fd) {  // keeps a session open until the library closes it
    char b[256];
    while (recv(fd, b, sizeof b, 0) > 0) {
    }
}

TEST_F(ZQNetPeer, EachConnectionReportsExactlyOneLoginOutcome) {
    struct Case {
        const char* name;
        Peer::Script script;
        int status;
    };
    std::vector<Case> cases = {
        {"logged in",
         [](int fd, auto& r) {
             if (AnswerLogin(fd, r))
                 Linger(fd);
         },
         101},
        {"unknown user", [](int fd, auto& r) { AnswerLogin(fd, r, 103); }, 103},
        {"wrong password", [](int fd, auto& r) { AnswerLogin(fd, r, 104); }, 104},
        {"too many sessions", [](int fd, auto& r) { AnswerLogin(fd, r, 108); }, 108},
        {"locked out", [](int fd, auto& r) { AnswerLogin(fd, r, 109); }, 109},
        {"status outside the protocol", [](int fd, auto& r) { AnswerLogin(fd, r, 7); }, 110},
        {"closes at once", [](int, auto&) {}, 112},
        {"never answers", [](int fd, auto&) { Linger(fd); }, 107},
        {"garbage instead of a challenge",
         [](int fd, auto&) {
             SendBytes(fd, {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0'});
             Linger(fd);
         },
         110},
        {"result before the proof",
         [](int fd, auto&) {
             Message result;  // instead of the challenge
             result.kind = Kind::kLoginResult;
             result.sequence = 0;
             result.code = 101;
             SendMessage(fd, result);
             Linger(fd);
         },
         110},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer(c.script);
        Reports reports;
        ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
        EXPECT_NE(h, 0u);
        EXPECT_EQ(reports.Wait(1), std::vector<int>{c.status});
        ZQNetConnectionStop(&h);
    }
}

TEST_F(ZQNetPeer, ConnectFailuresAreReportedToo) {
    // Something listens on 127.0.0.1, which "0.0.0.0" would reach on this platform.
    Peer local([](int fd, auto& r) {
        if (AnswerLogin(fd, r))
            Linger(fd);
    });
    struct Case {
        const char* name;
        const char* address;
        int port;
        int status;
    } cases[] = {
        {"nothing listens", "127.0.0.1", UnusedPort(), 105},
        {"empty address field", "0.0.0.0", local.port(), 106},
        {"not an address", "unit-7", 34567, 106},
        {"port out of range", "127.0.0.1", 70000, 106},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reports reports;
        ZQNET_HANDLE h = Connect(c.address, c.port, reports);
        EXPECT_EQ(reports.Wait(1), std::vector<int>{c.status});
        ZQNetConnectionStop(&h);
    }
}

TEST_F(ZQNetPeer, AnUnusableRecordIsAnsweredAtOnce) {
    Reports reports;
    EXPECT_EQ(Connect(nullptr, 1, reports), 0u);
    EXPECT_EQ(Connect("", 1, reports), 0u);
    EXPECT_EQ(reports.statuses, (std::vector<int>{2, 2}));
    ZQNetRelease();
    Reports late;
    EXPECT_EQ(Connect("127.0.0.1", 1, late), 0u);  // not initialised
    EXPECT_EQ(late.statuses, std::vector<int>{2});
}

TEST_F(ZQNetPeer, NotificationWindowGetsTheStatusInWParam) {
    // The notification path goes through the platform's window table.
    Peer peer([](int fd, auto& r) {
        if (AnswerLogin(fd, r))
            Linger(fd);
    });
    ZQNetConnectionRecord record{};
    record.address = "127.0.0.1";
    record.port = peer.port();
    record.user = kUser;
    record.password = kPassword;
    record.useNotifyWindow = 1;
    record.notifyMessage = 1649;
    record.notifyWindow = 0;  // no window: the message is dropped, nothing breaks
    ZQNET_HANDLE h = ZQNetConnectionStartEx(&record);
    EXPECT_NE(h, 0u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ZQNetConnectionStop(&h), 1);
}

// After login the unit answers the first request in a hostile way.
TEST_F(ZQNetPeer, AHostileReplyEndsTheConnectionAndLeavesTheBufferAlone) {
    struct Case {
        const char* name;
        std::function<void(int, const Message&)> answer;
    };
    std::vector<Case> cases = {
        {"oversized frame",
         [](int fd, const Message& q) {
             auto bytes = zqproto::Encode(Reply(q, 0, std::vector<std::uint8_t>(100, 0xAA)));
             bytes[12] = 0x00, bytes[13] = 0x20;  // claims 8192 bytes
             SendBytes(fd, bytes);
             SendBytes(fd, std::vector<std::uint8_t>(9000, 0xAA));
         }},
        {"garbage",
         [](int fd, const Message&) { SendBytes(fd, std::vector<std::uint8_t>(64, 0x5A)); }},
        {"reply to a request never sent",
         [](int fd, const Message& q) {
             Message r = Reply(q, 0, std::vector<std::uint8_t>(116, 0xAA));
             r.sequence += 5;
             SendMessage(fd, r);
         }},
        {"reply of another kind",
         [](int fd, const Message& q) {
             Message r = Reply(q, 0);
             r.kind = Kind::kSetParamReply;
             SendMessage(fd, r);
         }},
        {"a request from the unit",
         [](int fd, const Message&) {
             Message r;
             r.kind = Kind::kGetDevInfo;
             SendMessage(fd, r);
         }},
        {"half a frame, then closed",
         [](int fd, const Message& q) {
             auto bytes = zqproto::Encode(Reply(q, 0, std::vector<std::uint8_t>(116, 0xAA)));
             bytes.resize(30);
             SendBytes(fd, bytes);
             shutdown(fd, SHUT_RDWR);
         }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer([&](int fd, auto& r) {
            if (!AnswerLogin(fd, r))
                return;
            Message q;
            if (ReadMessage(fd, r, q))
                c.answer(fd, q);
            Linger(fd);
        });
        Reports reports;
        ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
        ASSERT_EQ(reports.Wait(1), std::vector<int>{101});
        std::uint8_t buffer[116 + 16];
        std::memset(buffer, 0x11, sizeof buffer);
        ZQNetTempParamRequest request{};
        request.code = 400;
        request.buffer = buffer;
        request.size = 116;
        EXPECT_EQ(ZQNetQueryTemporaryParam(h, &request), 0);
        for (std::uint8_t b : buffer)
            ASSERT_EQ(b, 0x11);
        EXPECT_EQ(reports.Wait(2), (std::vector<int>{101, 150}));
        EXPECT_EQ(ZQNetQueryTemporaryParam(h, &request), 0) << "a lost connection stays failed";
        ZQNetConnectionStop(&h);
    }
}

TEST_F(ZQNetPeer, ALongerReplyIsCutToTheCallersSize) {
    Peer peer([](int fd, auto& r) {
        if (!AnswerLogin(fd, r))
            return;
        Message q;
        while (ReadMessage(fd, r, q))
            SendMessage(fd, Reply(q, 0, std::vector<std::uint8_t>(4000, 0xAB)));
    });
    Reports reports;
    ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
    ASSERT_EQ(reports.Wait(1), std::vector<int>{101});
    std::vector<std::uint8_t> buffer(76 + 32, 0x11);
    ZQNetParamRequest query{};
    query.command = 553;
    query.buffer = buffer.data();
    query.size = 76;
    EXPECT_EQ(ZQNetQueryParamEx(h, &query), 1);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], i < 76 ? 0xAB : 0x11) << i;
    std::vector<std::uint8_t> info(1232 + 8, 0x11);
    EXPECT_EQ(ZQNetGetDevInfo(h, info.data(), 10), 1);
    for (std::size_t i = 0; i < info.size(); ++i)
        ASSERT_EQ(info[i], i < 10 ? 0xAB : 0x11) << i;
    ZQNetConnectionStop(&h);
    EXPECT_EQ(reports.Wait(1), std::vector<int>{101}) << "a stop is not a loss";
}

TEST_F(ZQNetPeer, ACallTimesOutAndALateReplyIsDropped) {
    Peer peer([](int fd, auto& r) {
        if (!AnswerLogin(fd, r))
            return;
        Message first, second;
        if (!ReadMessage(fd, r, first))
            return;
        std::this_thread::sleep_for(500ms);  // beyond the call time-out
        SendMessage(fd, Reply(first, 0));
        if (!ReadMessage(fd, r, second))
            return;
        SendMessage(fd, Reply(second, 0));
        Linger(fd);
    });
    Reports reports;
    ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
    ASSERT_EQ(reports.Wait(1), std::vector<int>{101});
    ZQNetCommandRequest cmd{};
    cmd.command = 349;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZQNetSimpleCmd(h, &cmd), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 450ms);
    std::this_thread::sleep_for(300ms);  // the late reply arrives meanwhile
    EXPECT_EQ(ZQNetSimpleCmd(h, &cmd), 1);
    EXPECT_EQ(reports.Wait(1), std::vector<int>{101});
    ZQNetConnectionStop(&h);
}

TEST_F(ZQNetPeer, ALostConnectionFailsTheCallAtOnceAndIsReportedOnce) {
    Peer peer([](int fd, auto& r) {
        if (!AnswerLogin(fd, r))
            return;
        Message q;
        ReadMessage(fd, r, q);
        std::this_thread::sleep_for(50ms);
        shutdown(fd, SHUT_RDWR);
    });
    Reports reports;
    ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
    ASSERT_EQ(reports.Wait(1), std::vector<int>{101});
    ZQNetCommandRequest cmd{};
    cmd.command = 350;
    EXPECT_EQ(ZQNetSimpleCmd(h, &cmd), 0);
    EXPECT_EQ(reports.Wait(2), (std::vector<int>{101, 150}));
    EXPECT_EQ(ZQNetSimpleCmd(h, &cmd), 0);
    EXPECT_EQ(ZQNetConnectionStop(&h), 1);
    EXPECT_EQ(ZQNetConnectionStop(&h), 0) << "a stopped handle is unknown";
}

TEST_F(ZQNetPeer, StopDuringTheLoginReturnsAtOnceAndReportsNothing) {
    Peer peer([](int fd, auto&) { Linger(fd); });
    setenv("ZQNET_LOGIN_TIMEOUT_MS", "5000", 1);
    ZQNetRelease();
    ZQNetInit();
    Reports reports;
    ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
    std::this_thread::sleep_for(50ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZQNetConnectionStop(&h), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(reports.Wait(1, 300ms).empty());
    setenv("ZQNET_LOGIN_TIMEOUT_MS", "400", 1);
}

TEST_F(ZQNetPeer, AlarmsReachTheEventCallback) {
    Peer peer([](int fd, auto& r) {
        if (!AnswerLogin(fd, r))
            return;
        Message q;
        if (!ReadMessage(fd, r, q))
            return;
        SendMessage(fd, Reply(q, 0));
        Message alarm;
        alarm.kind = Kind::kAlarm;
        alarm.code = 253;
        alarm.data.assign(56, 0);
        alarm.data[24] = 1;
        SendMessage(fd, alarm);
        Linger(fd);
    });
    Reports reports;
    ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
    ASSERT_EQ(reports.Wait(1), std::vector<int>{101});
    EXPECT_EQ(ZQNetAlarmSubscribe(h, 1), 1);
    std::unique_lock lock(reports.mutex);
    reports.changed.wait_for(lock, 2s, [&] { return !reports.events.empty(); });
    ASSERT_EQ(reports.events.size(), 1u);
    EXPECT_EQ(reports.events[0].first, 253);
    ASSERT_EQ(reports.events[0].second.size(), 56u);
    EXPECT_EQ(reports.events[0].second[24], 1);
    lock.unlock();
    ZQNetConnectionStop(&h);
}

TEST_F(ZQNetPeer, RequestsTheProtocolCannotCarryAreRefusedBeforeSending) {
    Peer peer([](int fd, auto& r) {
        if (!AnswerLogin(fd, r))
            return;
        Message q;
        while (ReadMessage(fd, r, q))
            SendMessage(fd, Reply(q, 0));
    });
    Reports reports;
    ZQNET_HANDLE h = Connect("127.0.0.1", peer.port(), reports);
    ASSERT_EQ(reports.Wait(1), std::vector<int>{101});
    std::vector<std::uint8_t> big(8192);
    ZQNetParamRequest set{};
    set.command = 216;
    set.code = 871;
    set.buffer = big.data();
    set.size = static_cast<int32_t>(big.size());
    EXPECT_EQ(ZQNetSetParamEx(h, &set), 0);
    set.size = -1;
    EXPECT_EQ(ZQNetSetParamEx(h, &set), 0);
    set.buffer = nullptr;
    set.size = 10;
    EXPECT_EQ(ZQNetSetParamEx(h, &set), 0);
    ZQNetShortParamRequest short_set{};
    short_set.code = 999;  // no record size known for it
    short_set.buffer = big.data();
    EXPECT_EQ(ZQNetSetParam(h, &short_set), 0);
    EXPECT_EQ(ZQNetPTZControl(h, 96, nullptr), 0);
    EXPECT_EQ(ZQNetQueryParamEx(h, nullptr), 0);
    EXPECT_EQ(ZQNetGetDevInfo(h + 1000, big.data(), 1232), 0) << "unknown handle";
    // The session is still fine after all of that.
    ZQNetCommandRequest cmd{};
    cmd.command = 351;
    EXPECT_EQ(ZQNetSimpleCmd(h, &cmd), 1);
    EXPECT_EQ(reports.Wait(1), std::vector<int>{101});
    ZQNetConnectionStop(&h);
}

}  // namespace

// The simulator over real sockets on loopback: plain and TLS sessions, search, control interface.
// Each test uses its own loopback block and free ports, so test programs can run side by side.
#include "simulator.h"
#include "config.h"
#include "test_client.h"

#include <json/reader.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace unitsim {
namespace {

using testing::TestClient;
using zqproto::Kind;

UnitConfig Make(const std::string& address) {
    UnitConfig c;
    c.address = address;
    c.mediaPort = 0;  // a free port
    c.searchPort = 0;
    c.password = "pa55word";
    c.lockout = std::chrono::milliseconds(1500);  // room for slow TLS handshakes under sanitizers
    c.calibration = std::chrono::milliseconds(100);
    c.calibrationResult = 255;
    c.deviceKind = 4;
    c.lensCalibration = true;
    ParseMac("00:AA:BB:CC:DD:01", c.mac.mac);
    std::strcpy(c.key.key, "OLDKEY");
    return c;
}

Json::Value Parse(const std::string& line) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string why;
    EXPECT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &why)) << line;
    return v;
}

class SimulatorTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim.Start({Make("127.0.9.10"), Make("127.0.9.11")}, error)) << error;
        unit = sim.Find("127.0.9.10");
        ASSERT_NE(unit, nullptr);
        port = unit->config().mediaPort;
        ASSERT_NE(port, 0);
    }

    bool tls() const { return GetParam(); }

    Simulator sim;
    Unit* unit = nullptr;
    uint16_t port = 0;
};

TEST_P(SimulatorTest, LoginQueryWriteReadBack) {
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
    ASSERT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    auto reply = c.Request(Kind::kQueryParam, 553, 76);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, zqproto::kOk);
    ASSERT_EQ(reply->data.size(), 76u);
    EXPECT_STREQ(reinterpret_cast<const char*>(reply->data.data() + 4), "OLDKEY");

    ZQNetKeyRecord key{};
    key.size = 76;
    std::strcpy(key.key, "ABCDEFGHIJ0123456789");
    const auto* p = reinterpret_cast<const uint8_t*>(&key);
    reply = c.Request(Kind::kSetParam, 553, 0, std::vector<uint8_t>(p, p + 76));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, zqproto::kOk);
    EXPECT_STREQ(unit->State().key.key, "ABCDEFGHIJ0123456789");
    reply = c.Request(Kind::kQueryParam, 553, 76);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data, std::vector<uint8_t>(p, p + 76));
    EXPECT_EQ(unit->State().sessions, 1);

    // Neither direction carries the password.
    std::string sent(c.sent().begin(), c.sent().end());
    std::string received(c.received().begin(), c.received().end());
    EXPECT_EQ(sent.find("pa55word"), std::string::npos);
    EXPECT_EQ(received.find("pa55word"), std::string::npos);
    c.Close();
    for (int i = 0; i < 100 && unit->State().sessions != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(unit->State().sessions, 0);
}

TEST_P(SimulatorTest, WrongPasswordsLockTheUserOut) {
    for (int i = 0; i < 5; ++i) {
        TestClient c;
        ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
        EXPECT_EQ(c.Login("admin", "wrong"), uint32_t{ZQNET_STATUS_WRONG_PASSWORD});
        EXPECT_TRUE(c.Closed());
    }
    {
        TestClient c;
        ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
        EXPECT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOCKED_OUT});
    }
    {
        // The lock is per unit: the other unit still lets the user in.
        TestClient c;
        ASSERT_TRUE(c.Connect("127.0.9.11", sim.Find("127.0.9.11")->config().mediaPort, tls()));
        EXPECT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
    EXPECT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
}

TEST_P(SimulatorTest, AProofFromAnotherSessionIsRefused) {
    // A proof is bound to the nonce (and, with TLS, to the session), so replaying one fails.
    TestClient first;
    ASSERT_TRUE(first.Connect("127.0.9.10", port, tls()));
    ASSERT_EQ(first.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    const size_t proof_size = 16 + 1 + 5 + 32;  // header, "admin", proof: the last frame sent
    std::vector<uint8_t> old_proof(first.sent().end() - proof_size, first.sent().end());

    TestClient second;
    ASSERT_TRUE(second.Connect("127.0.9.10", port, tls()));
    ASSERT_TRUE(second.greeting());
    ASSERT_TRUE(second.SendRaw(old_proof));  // sequence 1, as the replayed frame carries
    auto result = second.Read();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, uint32_t{ZQNET_STATUS_WRONG_PASSWORD});
}

TEST_P(SimulatorTest, FaultsOverTheWire) {
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
    ASSERT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    unit->SetFault(400, {.failQuery = true});
    auto reply = c.Request(Kind::kQueryParam, 400, 116);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, zqproto::kFailed);
    EXPECT_TRUE(reply->data.empty());

    unit->SetFault(1015, {.delayMs = 300});
    auto start = std::chrono::steady_clock::now();
    reply = c.Request(Kind::kQueryParam, 1015, 80);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, zqproto::kOk);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));

    unit->SetFault(349, {.drop = true});
    EXPECT_FALSE(c.Request(Kind::kSimpleCmd, 349));
    EXPECT_FALSE(unit->State().telnet);
}

TEST_P(SimulatorTest, SilentLoginKeepsTheStationWaiting) {
    unit->SetSilentLogin(true);
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.9.10", port, tls(), 300));
    EXPECT_FALSE(c.greeting());  // no challenge came
    EXPECT_FALSE(c.Read());      // time-out, no answer
}

TEST_P(SimulatorTest, HostileBytesEndTheConnection) {
    std::vector<std::vector<uint8_t>> inputs = {
        {'G', 'E', 'T', ' ', '/', '\r', '\n'},
        [] {
            zqproto::Message m;
            m.sequence = 1;
            auto b = zqproto::Encode(m);
            b[2] = 9;
            return b;
        }(),
        [] {
            zqproto::Message m;
            m.sequence = 1;
            auto b = zqproto::Encode(m);
            b[15] = 0x7F;
            return b;
        }(),
    };
    for (const auto& bytes : inputs) {
        TestClient c;
        ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
        ASSERT_TRUE(c.SendRaw(bytes));
        EXPECT_TRUE(c.Closed());
    }
    // The unit still serves others.
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
    EXPECT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
}

TEST_P(SimulatorTest, CalibrationAlarmsReachSubscribers) {
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.9.10", port, tls()));
    ASSERT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    ASSERT_EQ(c.Request(Kind::kAlarmSubscribe, 1)->code, zqproto::kOk);
    ASSERT_EQ(c.Request(Kind::kPtz, 108)->code, zqproto::kOk);
    std::vector<zqproto::Message> alarms = c.alarms;
    while (alarms.size() < 2) {
        auto m = c.Read();
        ASSERT_TRUE(m);
        ASSERT_EQ(m->kind, Kind::kAlarm);
        alarms.push_back(*m);
    }
    ASSERT_EQ(alarms[0].data.size(), 56u);
    EXPECT_EQ(alarms[0].data[24], 1);
    EXPECT_EQ(alarms[1].data[24], 0);
    EXPECT_EQ(alarms[1].data[25], 255);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, SimulatorTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Tls" : "Plain";
                         });

TEST(SimulatorSearch, TwoHundredFiftySixUnitsAnswerInOneProcess) {
    std::vector<UnitConfig> units;
    for (int i = 0; i < 256; ++i) {
        UnitConfig c = Make("127.0.10." + std::to_string(i));
        c.typeName = i == 7 ? "RVMS" : "NVR";
        c.mac.mac[5] = static_cast<uint8_t>(i);
        units.push_back(c);
    }
    Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start(units, error)) << error;
    ASSERT_EQ(sim.Units().size(), 256u);
    int answered = 0;
    for (Unit* u : sim.Units()) {
        std::vector<uint8_t> record = testing::Probe(u->config().address, u->config().searchPort);
        ASSERT_EQ(record.size(), 448u) << u->config().address;
        ZQNetDeviceRecord r{};
        std::memcpy(&r, record.data(), sizeof(r));
        EXPECT_EQ(std::string(r.ip), u->config().address);
        EXPECT_EQ(r.mediaPort, u->config().mediaPort);
        EXPECT_EQ(std::string(r.typeName), u->config().typeName);
        ++answered;
    }
    EXPECT_EQ(answered, 256);
    // And every one of them takes a session.
    Unit* last = sim.Units().back();
    TestClient c;
    ASSERT_TRUE(c.Connect(last->config().address, last->config().mediaPort, true));
    EXPECT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
}

TEST(SimulatorSearch, MalformedProbesGetNoAnswer) {
    Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({Make("127.0.11.1")}, error)) << error;
    Unit* u = sim.Units()[0];
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(u->config().searchPort);
    inet_pton(AF_INET, "127.0.11.1", &a.sin_addr);
    zqproto::Message ping;
    ping.kind = Kind::kPing;
    std::vector<std::vector<uint8_t>> bad = {{'x'}, zqproto::Encode(ping), [] {
                                                 zqproto::Message m;
                                                 m.kind = Kind::kSearchProbe;
                                                 auto b = zqproto::Encode(m);
                                                 b.push_back(0);
                                                 return b;
                                             }()};
    for (const auto& bytes : bad) {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0);
    ::close(fd);
    EXPECT_EQ(testing::Probe("127.0.11.1", u->config().searchPort).size(), 448u);
}

TEST(SimulatorControl, StateAndFaultsOverTheControlSocket) {
    Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({Make("127.0.12.1")}, error)) << error;
    uint16_t control = sim.ServeControl(0, error);
    ASSERT_NE(control, 0) << error;
    Unit* u = sim.Units()[0];

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(control);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    auto ask = [&](const std::string& line) {
        std::string out = line + "\n";
        EXPECT_EQ(::send(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
        std::string answer;
        char ch;
        while (::recv(fd, &ch, 1, 0) == 1 && ch != '\n')
            answer.push_back(ch);
        return Parse(answer);
    };
    Json::Value list = ask(R"({"cmd":"list"})");
    ASSERT_TRUE(list["ok"].asBool());
    EXPECT_EQ(list["units"][0]["address"].asString(), "127.0.12.1");
    EXPECT_EQ(list["units"][0]["media_port"].asUInt(), u->config().mediaPort);

    EXPECT_TRUE(
        ask(R"({"cmd":"fault","unit":"127.0.12.1","code":553,"fail_write":true})")["ok"].asBool());
    EXPECT_TRUE(u->FaultFor(553).failWrite);
    Json::Value state = ask(R"({"cmd":"state","unit":"127.0.12.1"})");
    ASSERT_TRUE(state["ok"].asBool());
    EXPECT_EQ(state["state"]["key"].asString(), "OLDKEY");
    EXPECT_EQ(state["state"]["mac"].asString(), "00:AA:BB:CC:DD:01");
    EXPECT_EQ(state["state"]["records"]["553"].asString().size(), 152u);
    EXPECT_TRUE(ask(R"({"cmd":"silent_login","unit":"127.0.12.1","silent":true})")["ok"].asBool());
    EXPECT_TRUE(u->silentLogin());
    EXPECT_TRUE(ask(R"({"cmd":"clear_faults","unit":"127.0.12.1"})")["ok"].asBool());
    EXPECT_FALSE(u->FaultFor(553).failWrite);
    EXPECT_FALSE(u->silentLogin());

    struct Bad {
        const char* line;
        const char* error;
    } bad[] = {{"nonsense", "JSON object"},
               {R"({"cmd":"state","unit":"127.0.0.99"})", "no such unit"},
               {R"({"cmd":"fault","unit":"127.0.12.1"})", "code"},
               {R"({"cmd":"fault","unit":"127.0.12.1","code":1,"drop":"yes"})", "drop"},
               {R"({"cmd":"reboot","unit":"127.0.12.1"})", "unknown cmd"}};
    for (const Bad& b : bad) {
        Json::Value answer = ask(b.line);
        EXPECT_FALSE(answer["ok"].asBool()) << b.line;
        EXPECT_NE(answer["error"].asString().find(b.error), std::string::npos)
            << answer["error"].asString();
    }
    ::close(fd);
}

TEST(SimulatorControl, RequestLogWrittenRecordsAndCountedFaults) {
    Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({Make("127.0.12.2")}, error)) << error;
    Unit* u = sim.Units()[0];
    auto control = [&](const std::string& line) { return Parse(sim.Control(line)); };
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.12.2", u->config().mediaPort, false));
    ASSERT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});

    ZQNetKeyRecord key{};
    key.size = 76;
    std::strcpy(key.key, "NEW");
    const auto* p = reinterpret_cast<const uint8_t*>(&key);
    const std::vector<uint8_t> good(p, p + 76);
    std::vector<uint8_t> unsized = good;
    unsized[0] = 0;
    struct Step {
        Kind kind;
        uint32_t code, size;
        std::vector<uint8_t> data;
        uint32_t result;
    } steps[] = {
        {Kind::kQueryParam, 400, 116, {}, zqproto::kOk},
        {Kind::kSetParam, 553, 0, good, zqproto::kOk},
        {Kind::kSetParam, 553, 0, unsized, zqproto::kBadSize},
        {Kind::kSimpleCmd, 349, 0, {}, zqproto::kOk},
    };
    for (const Step& step : steps) {
        auto reply = c.Request(step.kind, step.code, step.size, step.data);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->code, step.result) << step.code;
    }
    Json::Value state = control(R"({"cmd":"state","unit":"127.0.12.2"})")["state"];
    EXPECT_EQ(ToLine(state["requests"]), R"([{"code":400,"length":0,"op":"query","size_word":116},)"
                                         R"({"code":553,"length":76,"op":"write","size_word":76},)"
                                         R"({"code":553,"length":76,"op":"write","size_word":0}])");
    EXPECT_EQ(state["written"].getMemberNames(), std::vector<std::string>{"553"});
    EXPECT_EQ(state["written"]["553"].asString(), state["records"]["553"].asString());
    EXPECT_EQ(state["key"].asString(), "NEW");

    // A query fault that passes one request, fails the next, and is gone.
    Json::Value answer = control(
        R"({"cmd":"fault","unit":"127.0.12.2","code":553,"fail_query":true,"skip":1,"count":1})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer["error"].asString();
    for (uint32_t expected : {zqproto::kOk, zqproto::kFailed, zqproto::kOk}) {
        auto reply = c.Request(Kind::kQueryParam, 553, 76);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->code, expected);
    }
    EXPECT_FALSE(u->FaultFor(553).failQuery);
    answer = control(R"({"cmd":"fault","unit":"127.0.12.2","code":553,"count":-1})");
    EXPECT_FALSE(answer["ok"].asBool());
    EXPECT_NE(answer["error"].asString().find("count"), std::string::npos);

    ASSERT_TRUE(control(R"({"cmd":"clear_log","unit":"127.0.12.2"})")["ok"].asBool());
    state = control(R"({"cmd":"state","unit":"127.0.12.2"})")["state"];
    EXPECT_EQ(ToLine(state["requests"]), "[]");
    EXPECT_EQ(ToLine(state["written"]), "{}");
    EXPECT_EQ(state["key"].asString(), "NEW");
    EXPECT_FALSE(control(R"({"cmd":"clear_log","unit":"127.0.0.99"})")["ok"].asBool());
}

TEST(SimulatorLifecycle, StartFailsCleanlyAndStopEndsOpenSessions) {
    Simulator first;
    std::string error;
    UnitConfig fixed = Make("127.0.13.1");
    fixed.mediaPort = 34567;
    ASSERT_TRUE(first.Start({fixed}, error)) << error;
    {
        Simulator second;  // the same address and port: refused, nothing left running
        EXPECT_FALSE(second.Start({Make("127.0.13.2"), fixed}, error));
        EXPECT_NE(error.find("127.0.13.1:34567"), std::string::npos) << error;
        EXPECT_TRUE(second.Units().empty());
    }
    TestClient plain, tls, silent;
    ASSERT_TRUE(plain.Connect("127.0.13.1", 34567, false));
    ASSERT_TRUE(tls.Connect("127.0.13.1", 34567, true));
    ASSERT_EQ(plain.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    ASSERT_TRUE(silent.Connect("127.0.13.1", 34567, false));  // connected, sends nothing
    first.Units()[0]->SetFault(582, {.delayMs = 60000});
    zqproto::Message q;
    q.kind = Kind::kQueryParam;
    q.code = 582;
    q.size = 32;
    ASSERT_TRUE(plain.Send(q));  // the unit now sits in a long delay
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = std::chrono::steady_clock::now();
    first.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(plain.Closed());
    EXPECT_TRUE(silent.Closed());
    first.Stop();  // twice is fine
}

TEST(SimulatorVideo, ACameraStreamsOverTcpAndTheControlChangesItsCalibration) {
    Simulator sim;
    std::string error;
    UnitConfig camera = Make("127.0.40.1");
    camera.pictureWidth = 320;
    camera.pictureHeight = 240;
    ASSERT_TRUE(sim.Start({camera}, error)) << error;
    Unit* u = sim.Units()[0];
    auto control = [&](const std::string& line) { return Parse(sim.Control(line)); };
    TestClient c;
    ASSERT_TRUE(c.Connect("127.0.40.1", u->config().mediaPort, false));
    ASSERT_EQ(c.Login("admin", "pa55word"), uint32_t{ZQNET_STATUS_LOGGED_IN});
    auto started = c.Request(Kind::kPreviewStart, 3, 1);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->code, zqproto::kOk);
    // A second and more of frames (the first waits for the picture to be encoded).
    std::vector<zqproto::Message> pieces;
    uint32_t frames = 0;
    while (frames < 30) {
        auto m = c.Read();
        ASSERT_TRUE(m);
        ASSERT_EQ(m->kind, Kind::kMediaPiece);
        EXPECT_EQ(m->code, 3u);
        if (m->offset + m->data.size() == m->size)
            ++frames;
    }
    EXPECT_EQ(control(R"({"cmd":"state","unit":"127.0.40.1"})")["state"]["streams"].asInt(), 1);
    auto stopped = c.Request(Kind::kPreviewStop, 3);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->code, zqproto::kOk);
    EXPECT_EQ(control(R"({"cmd":"state","unit":"127.0.40.1"})")["state"]["streams"].asInt(), 0);

    // The lens calibration as the control interface sets it.
    Json::Value answer =
        control(R"({"cmd":"lens_calibration","unit":"127.0.40.1","lens_calibration":false})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer["error"].asString();
    auto info = c.Request(Kind::kGetDevInfo, 0);
    ASSERT_TRUE(info);
    ASSERT_EQ(info->data.size(), 1232u);
    EXPECT_EQ(info->data[452], 0);
    EXPECT_EQ(c.Request(Kind::kPtz, 108)->code, zqproto::kFailed);
    answer = control(R"({"cmd":"lens_calibration","unit":"127.0.40.1","lens_calibration":true,)"
                     R"("calibration_ms":0,"calibration_result":1,"alarm_length":30})");
    ASSERT_TRUE(answer["ok"].asBool()) << answer["error"].asString();
    EXPECT_EQ(c.Request(Kind::kGetDevInfo, 0)->data[452], 1);
    ASSERT_EQ(c.Request(Kind::kAlarmSubscribe, 1)->code, zqproto::kOk);
    ASSERT_EQ(c.Request(Kind::kPtz, 108)->code, zqproto::kOk);
    while (c.alarms.size() < 2) {
        auto m = c.Read();
        ASSERT_TRUE(m);
        if (m->kind == Kind::kAlarm)
            c.alarms.push_back(*m);
    }
    ASSERT_EQ(c.alarms[1].data.size(), 30u);
    EXPECT_EQ(c.alarms[1].data[24], 0);
    EXPECT_EQ(c.alarms[1].data[25], 1);
    Json::Value state = control(R"({"cmd":"state","unit":"127.0.40.1"})")["state"];
    EXPECT_EQ(state["alarm_length"].asInt(), 30);
    EXPECT_EQ(state["calibration_result"].asInt(), 1);
    answer = control(R"({"cmd":"lens_calibration","unit":"127.0.40.1","alarm_length":5000})");
    EXPECT_FALSE(answer["ok"].asBool());
    EXPECT_NE(answer["error"].asString().find("alarm_length"), std::string::npos);
}

}  // namespace
}  // namespace unitsim

// The simulated unit's state machine through its library interface (no sockets).
#include "unit.h"
#include "config.h"

#include <json/reader.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "protocol/media_frame.h"

namespace unitsim {
namespace {

using zqproto::Kind;
using zqproto::Message;

template <typename T>
std::vector<uint8_t> Bytes(const T& record) {
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

// A record of `bytes` bytes, `fill` after its leading size word (which says `word`).
std::vector<uint8_t> Sized(size_t bytes, uint8_t fill = 0, uint32_t word = 0xFFFFFFFF) {
    std::vector<uint8_t> out(bytes, fill);
    if (word == 0xFFFFFFFF)
        word = static_cast<uint32_t>(bytes);
    for (size_t i = 0; i < 4 && i < bytes; ++i)
        out[i] = static_cast<uint8_t>(word >> (8 * i));
    return out;
}

template <typename T>
T As(const std::vector<uint8_t>& bytes) {
    T record{};
    std::memcpy(&record, bytes.data(), std::min(sizeof(T), bytes.size()));
    return record;
}

// A station talking to one UnitSession directly.
class Station {
  public:
    // The unit greets at once: `greeting` holds its challenge (none from a silent unit).
    explicit Station(Unit& unit) : session(unit, {}) {
        open = session.Greet(steps);
        greeting = Decoded();
    }

    std::vector<Message> SendRaw(const std::vector<uint8_t>& bytes) {
        steps.clear();
        open = session.Receive(bytes, steps) && open;
        return Decoded();
    }

    // The messages of the steps the session gave last.
    std::vector<Message> Decoded() {
        std::vector<Message> out;
        for (const auto& step : steps) {
            zqproto::FrameReader reader;
            reader.Feed(step.bytes);
            zqproto::Frame frame;
            while (reader.Next(frame) == zqproto::FrameReader::Status::kFrame) {
                Message m;
                EXPECT_TRUE(zqproto::Decode(frame, m));
                out.push_back(m);
            }
        }
        return out;
    }

    std::vector<Message> Send(Message m) {
        m.sequence = ++sequence;
        return SendRaw(zqproto::Encode(m));
    }

    uint32_t Login(const std::string& user, const std::string& password) {
        const std::vector<Message>& challenge = greeting;
        if (challenge.size() != 1 || challenge[0].kind != Kind::kLoginChallenge)
            return 0;
        Message proof;
        proof.kind = Kind::kLoginProof;
        proof.user = user;
        EXPECT_TRUE(zqproto::LoginProof(password, challenge[0].token, user, {}, proof.token));
        auto result = Send(proof);
        if (result.size() != 1 || result[0].kind != Kind::kLoginResult)
            return 0;
        return result[0].code;
    }

    // One request; the reply's result (or 0xFFFF when none came), its data in `data`.
    uint32_t Request(Kind kind, uint32_t code, uint32_t size = 0, std::vector<uint8_t> bytes = {}) {
        Message m;
        m.kind = kind;
        m.code = code;
        m.size = size;
        m.data = std::move(bytes);
        auto replies = Send(m);
        if (replies.size() != 1)
            return 0xFFFF;
        EXPECT_EQ(static_cast<uint16_t>(replies[0].kind), static_cast<uint16_t>(kind) | 0x8000);
        EXPECT_EQ(replies[0].sequence, sequence);
        data = replies[0].data;
        return replies[0].code;
    }

    uint32_t Query(uint32_t code, uint32_t size) { return Request(Kind::kQueryParam, code, size); }
    template <typename T>
    uint32_t Set(uint32_t code, const T& record) {
        return Request(Kind::kSetParam, code, 0, Bytes(record));
    }

    UnitSession session;
    std::vector<UnitSession::Step> steps;
    std::vector<Message> greeting;
    std::vector<uint8_t> data;
    uint32_t sequence = 0;
    bool open = true;
};

UnitConfig Camera() {
    UnitConfig c;
    c.address = "127.0.0.10";
    c.typeName = "IPC";
    c.deviceKind = 4;
    c.lensCalibration = true;
    c.password = "secret";
    c.lockout = std::chrono::milliseconds(200);
    c.calibration = std::chrono::milliseconds(50);
    c.calibrationResult = 7;
    ParseMac("00:12:34:56:78:9A", c.mac.mac);
    std::strcpy(c.mac.module, "M1");
    std::strcpy(c.mac.serial, "SER-1");
    std::strcpy(c.key.key, "KEY-OLD");
    std::strcpy(c.focus.autofocusVersion, "AF-2.1");
    c.fisheye.centerX = 960;
    c.fisheye.centerY = 540;
    c.fisheye.radius = 500;
    c.system.year = 2024;
    c.system.month = 3;
    c.system.day = 5;
    c.system.hour = 7;
    c.system.minute = 8;
    c.system.second = 9;
    c.system.language = 3;
    return c;
}

TEST(UnitLogin, StatusForEachCredential) {
    struct Case {
        const char* user;
        const char* password;
        uint32_t status;
        bool open;
    } cases[] = {
        {"admin", "secret", ZQNET_STATUS_LOGGED_IN, true},
        {"admin", "Secret", ZQNET_STATUS_WRONG_PASSWORD, false},
        {"admin", "", ZQNET_STATUS_WRONG_PASSWORD, false},
        {"root", "secret", ZQNET_STATUS_UNKNOWN_USER, false},
        {"", "secret", ZQNET_STATUS_UNKNOWN_USER, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + "/" + c.password);
        Unit unit(Camera());
        Station s(unit);
        EXPECT_EQ(s.Login(c.user, c.password), c.status);
        EXPECT_EQ(s.open, c.open);
        EXPECT_EQ(unit.State().sessions, c.open ? 1 : 0);
    }
}

TEST(UnitLogin, FiveWrongPasswordsLockTheUserForTheLockoutTime) {
    Unit unit(Camera());
    for (int i = 0; i < 5; ++i) {
        Station s(unit);
        EXPECT_EQ(s.Login("admin", "guess"), ZQNET_STATUS_WRONG_PASSWORD) << i;
    }
    EXPECT_TRUE(unit.State().lockedOut);
    {
        Station s(unit);
        EXPECT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOCKED_OUT);
    }
    {
        Station s(unit);  // an unknown user is still told so
        EXPECT_EQ(s.Login("guest", "secret"), ZQNET_STATUS_UNKNOWN_USER);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(unit.State().lockedOut);
    Station s(unit);
    EXPECT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
}

TEST(UnitLogin, ASuccessResetsTheWrongPasswordCount) {
    Unit unit(Camera());
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 4; ++i) {
            Station s(unit);
            EXPECT_EQ(s.Login("admin", "guess"), ZQNET_STATUS_WRONG_PASSWORD);
        }
        Station s(unit);
        EXPECT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN) << round;
    }
}

TEST(UnitLogin, SessionSlotsAreLimitedAndGivenBack) {
    UnitConfig config = Camera();
    config.maxSessions = 2;
    Unit unit(config);
    auto a = std::make_unique<Station>(unit);
    Station b(unit);
    EXPECT_EQ(a->Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    EXPECT_EQ(b.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    {
        Station c(unit);
        EXPECT_EQ(c.Login("admin", "secret"), ZQNET_STATUS_TOO_MANY_SESSIONS);
    }
    a.reset();
    Station d(unit);
    EXPECT_EQ(d.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    EXPECT_EQ(unit.State().sessions, 2);
}

TEST(UnitSessionRules, BadSequencesEndTheSession) {
    Unit unit(Camera());
    auto request = [](Kind kind, uint32_t sequence) {
        Message m;
        m.kind = kind;
        m.sequence = sequence;
        return zqproto::Encode(m);
    };
    struct Case {
        const char* name;
        bool login_first;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"request before login", false, request(Kind::kGetDevInfo, 1)},
        {"sequence 0", false, request(Kind::kPing, 0)},
        {"sequence skips", true, request(Kind::kPing, 3)},
        {"sequence repeats", true, request(Kind::kPing, 1)},
        {"login again", true, request(Kind::kLoginProof, 2)},
        {"a reply kind from the station", true, request(Kind::kPong, 2)},
        {"a search probe on TCP", true, request(Kind::kSearchProbe, 2)},
        {"garbage", true, {'G', 'E', 'T', ' ', '/'}},
        {"oversized", true,
         [] {
             auto b = zqproto::Encode(Message{});
             b[12] = 0xFF;
             b[13] = 0xFF;
             return b;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Station s(unit);
        if (c.login_first) {
            ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
        }
        EXPECT_TRUE(s.SendRaw(c.bytes).empty());
        EXPECT_FALSE(s.open);
        EXPECT_NE(s.session.error(), nullptr);
        EXPECT_EQ(unit.State().sessions, 0);
    }
}

TEST(UnitSessionRules, FramesSplitAnywhereAreServed) {
    Unit unit(Camera());
    Station s(unit);
    ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    Message ping;
    ping.kind = Kind::kPing;
    std::vector<uint8_t> stream;
    for (uint32_t i = 2; i <= 4; ++i) {
        ping.sequence = i;
        auto f = zqproto::Encode(ping);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    size_t replies = 0;
    for (uint8_t byte : stream)
        replies += s.SendRaw({byte}).size();
    EXPECT_EQ(replies, 3u);
    EXPECT_TRUE(s.open);
}

class UnitRecords : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN); }
    Unit unit{Camera()};
    Station s{unit};
};

TEST_F(UnitRecords, MacRecordIsReadAs400AndWrittenWhole401) {
    ASSERT_EQ(s.Query(400, 116), zqproto::kOk);
    auto mac = As<ZQNetMacRecord>(s.data);
    EXPECT_EQ(mac.size, 116u);
    EXPECT_EQ(FormatMac(mac.mac), "00:12:34:56:78:9A");
    EXPECT_STREQ(mac.serial, "SER-1");
    ParseMac("02:00:00:00:00:01", mac.mac);
    ParseMac("02:00:00:00:00:02", mac.wifiMac);
    std::strcpy(mac.snCode, "SNC");
    std::memset(mac.serial, 'S', sizeof(mac.serial));  // 32 bytes, no terminator
    EXPECT_EQ(s.Set(401, mac), zqproto::kOk);
    ASSERT_EQ(s.Query(400, 116), zqproto::kOk);
    EXPECT_EQ(s.data, Bytes(mac));
    EXPECT_EQ(FormatMac(unit.State().mac.wifiMac), "02:00:00:00:00:02");
    EXPECT_EQ(unit.DeviceRecord().mac, std::string("02:00:00:00:00:01"));
    EXPECT_EQ(s.Set(400, mac), zqproto::kUnknownCode);  // 400 is the read code only
}

TEST_F(UnitRecords, SizesAndCodesAreChecked) {
    struct Case {
        const char* name;
        Kind kind;
        uint32_t code;
        size_t bytes;
        uint32_t result;
    } cases[] = {
        {"key short", Kind::kSetParam, 553, 75, zqproto::kBadSize},
        {"key long", Kind::kSetParam, 553, 77, zqproto::kBadSize},
        {"ext short", Kind::kSetParam, 700, 1031, zqproto::kBadSize},
        {"lens file empty", Kind::kSetParam, 871, 0, zqproto::kBadSize},
        {"lens file 401", Kind::kSetParam, 871, 401, zqproto::kBadSize},
        {"lens file 400", Kind::kSetParam, 871, 400, zqproto::kOk},
        {"lens file 1", Kind::kSetParam, 871, 1, zqproto::kOk},
        {"unknown code", Kind::kSetParam, 999, 4, zqproto::kUnknownCode},
        {"write the focus record", Kind::kSetParam, 803, 200, zqproto::kUnknownCode},
        {"query the reset", Kind::kQueryParam, 588, 28, zqproto::kUnknownCode},
        {"query the lens file", Kind::kQueryParam, 871, 400, zqproto::kUnknownCode},
        {"unknown command", Kind::kSimpleCmd, 348, 0, zqproto::kUnknownCode},
        {"unknown PTZ", Kind::kPtz, 97, 0, zqproto::kUnknownCode},
        {"focus lock without record", Kind::kPtz, 96, 0, zqproto::kBadSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(s.Request(c.kind, c.code,
                            c.kind == Kind::kQueryParam ? static_cast<uint32_t>(c.bytes) : 0,
                            c.kind == Kind::kQueryParam ? std::vector<uint8_t>{}
                                                        : std::vector<uint8_t>(c.bytes, 1)),
                  c.result);
        EXPECT_TRUE(s.open);
    }
    EXPECT_EQ(unit.State().lensFile.size(), 1u);
}

TEST_F(UnitRecords, QueriesAreCutToTheSizeAsked) {
    ASSERT_EQ(s.Query(700, 16), zqproto::kOk);
    EXPECT_EQ(s.data.size(), 16u);
    ASSERT_EQ(s.Query(700, 5000), zqproto::kOk);
    EXPECT_EQ(s.data.size(), 1032u);
}

TEST_F(UnitRecords, KeyBoardFisheyeRoundTrip) {
    ZQNetKeyRecord key{};
    key.size = 76;
    std::memset(key.key, 'K', sizeof(key.key));  // fills the field
    key.reserved[3] = 9;
    EXPECT_EQ(s.Set(553, key), zqproto::kOk);
    ASSERT_EQ(s.Query(553, 76), zqproto::kOk);
    EXPECT_EQ(s.data, Bytes(key));

    ZQNetBoardRecord board{};
    board.size = 32;
    board.keyId = 0xABCDEF01;
    std::memcpy(board.boardId, "0123456789ABCDEF", 16);
    board.deviceType = 3;
    EXPECT_EQ(s.Set(582, board), zqproto::kOk);
    ASSERT_EQ(s.Query(582, 32), zqproto::kOk);
    EXPECT_EQ(s.data, Bytes(board));

    ASSERT_EQ(s.Query(1015, 80), zqproto::kOk);
    auto fisheye = As<ZQNetFisheyeRecord>(s.data);
    EXPECT_EQ(fisheye.centerX, 960);
    fisheye.size = 0;  // the station leaves it 0
    fisheye.centerX = 100;
    fisheye.centerY = -5;
    fisheye.radius = 0;
    fisheye.reserved2[0] = 1;
    EXPECT_EQ(s.Set(1015, fisheye), zqproto::kOk);
    ASSERT_EQ(s.Query(1015, 80), zqproto::kOk);
    EXPECT_EQ(s.data, Bytes(fisheye));
}

TEST_F(UnitRecords, ExtendedRecordAppliesOnlyMaskedFields) {
    ZQNetExtDeviceRecord before{};
    ASSERT_EQ(s.Query(700, 1032), zqproto::kOk);
    before = As<ZQNetExtDeviceRecord>(s.data);
    EXPECT_EQ(before.size, 1032u);

    ZQNetExtDeviceRecord w{};
    w.size = 1032;
    w.mask =
        ZQNET_EXT_MAIN_BOARD | ZQNET_EXT_FUNCTION_CODE | ZQNET_EXT_POE_POWER | ZQNET_EXT_MIN_FOCAL;
    std::strcpy(w.mainBoard, "ZQ-CM-A");
    std::strcpy(w.productModel, "not applied");
    w.functionCode[0] = 0x39;
    w.functionCode[7] = 0x01;
    w.poePower = 1234;
    w.minFocal = 1;
    w.maxFocal = 9;           // not applied
    w.reserved6[100] = 0xEE;  // not a field: never applied
    EXPECT_EQ(s.Set(700, w), zqproto::kOk);
    ASSERT_EQ(s.Query(700, 1032), zqproto::kOk);
    auto after = As<ZQNetExtDeviceRecord>(s.data);
    EXPECT_EQ(after.mask, w.mask);  // the mask of the last write
    EXPECT_STREQ(after.mainBoard, "ZQ-CM-A");
    EXPECT_STREQ(after.productModel, "");
    EXPECT_EQ(after.functionCode[0], 0x39);
    EXPECT_EQ(after.functionCode[7], 0x01);
    EXPECT_EQ(after.poePower, 1234);
    EXPECT_EQ(after.minFocal, 1);
    EXPECT_EQ(after.maxFocal, 0);
    EXPECT_EQ(after.reserved6[100], 0);

    // Every mask bit applies exactly its own field.
    const struct {
        uint32_t bit;
        size_t offset, size;
    } fields[] = {{0x4000, 12, 4},   {0x1, 16, 16},      {0x8, 72, 64},      {0x10, 136, 32},
                  {0x20, 168, 32},   {0x40, 200, 32},    {0x80, 232, 8},     {0x100, 240, 1},
                  {0x200, 241, 1},   {0x400, 242, 1},    {0x800, 243, 32},   {0x1000, 275, 1},
                  {0x2000, 276, 1},  {0x100000, 278, 1}, {0x80000, 279, 1},  {0x8000, 280, 1},
                  {0x10000, 281, 1}, {0x20000, 282, 1},  {0x200000, 285, 1}, {0x400000, 286, 1},
                  {0x40000, 288, 2}};
    for (const auto& f : fields) {
        SCOPED_TRACE(f.bit);
        ASSERT_EQ(s.Query(700, 1032), zqproto::kOk);
        std::vector<uint8_t> old = s.data;
        std::vector<uint8_t> record(1032, 0x5A);
        uint32_t size = 1032;
        std::memcpy(record.data(), &size, 4);
        std::memcpy(record.data() + 4, &f.bit, 4);
        ASSERT_EQ(s.Request(Kind::kSetParam, 700, 0, record), zqproto::kOk);
        ASSERT_EQ(s.Query(700, 1032), zqproto::kOk);
        EXPECT_EQ(As<ZQNetExtDeviceRecord>(s.data).mask, f.bit);
        for (size_t i = 8; i < 1032; ++i) {
            bool inside = i >= f.offset && i < f.offset + f.size;
            ASSERT_EQ(s.data[i], inside ? 0x5A : old[i]) << i;
        }
    }
}

TEST_F(UnitRecords, ExtendedRecordAnswersTheMaskOfItsLastAcceptedWrite) {
    auto written = [](uint32_t mask, uint8_t max_focal) {
        ZQNetExtDeviceRecord r{};
        r.size = 1032;
        r.mask = mask;
        r.maxFocal = max_focal;
        return r;
    };
    auto query = [this] {
        EXPECT_EQ(s.Query(700, 1032), zqproto::kOk);
        return As<ZQNetExtDeviceRecord>(s.data);
    };
    EXPECT_EQ(query().mask, 0u);  // the line file's record: mask 0 unless it says otherwise
    struct Step {
        const char* name;
        std::function<uint32_t()> write;
        uint32_t mask;  // answered afterwards
        uint8_t maxFocal;
    };
    const Step steps[] = {
        {"maximum focal length alone", [&] { return s.Set(700, written(0x400000, 3)); }, 0x400000,
         3},
        {"a refused write",
         [&] {
             unit.SetFault(700, {.failWrite = true, .count = 1});
             return s.Set(700, written(0x1, 9));
         },
         0x400000, 3},
        {"a write of the wrong size word",
         [&] {
             ZQNetExtDeviceRecord r = written(0x400000, 9);
             r.size = 1031;
             return s.Set(700, r);
         },
         0x400000, 3},
        {"a write with mask 0 changes no field", [&] { return s.Set(700, written(0, 9)); }, 0, 3},
        {"a factory reset keeps it",
         [&] {
             EXPECT_EQ(s.Set(700, written(0x400000, 5)), zqproto::kOk);
             ZQNetResetRecord reset{};
             reset.size = 28;
             reset.year = 2024;
             reset.restore = 1;
             return s.Set(588, reset);
         },
         0x400000, 5},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.write();
        const ZQNetExtDeviceRecord r = query();
        EXPECT_EQ(r.mask, step.mask);
        EXPECT_EQ(r.maxFocal, step.maxFocal);
        EXPECT_EQ(unit.State().ext.mask, step.mask);
    }
}

TEST_F(UnitRecords, SystemClockRunsAndAWriteSetsIt) {
    ASSERT_EQ(s.Query(524, 160), zqproto::kOk);
    auto sys = As<ZQNetSysParamRecord>(s.data);
    EXPECT_EQ(sys.size, 160u);
    EXPECT_EQ(sys.year, 2024);
    EXPECT_EQ(sys.month, 3);
    EXPECT_EQ(sys.day, 5);
    EXPECT_EQ(sys.hour, 7);
    EXPECT_EQ(sys.language, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(s.Query(524, 160), zqproto::kOk);
    auto later = As<ZQNetSysParamRecord>(s.data);
    EXPECT_GE(later.second, 10);

    // The station's time sync: a two-digit year and the change-time flag.
    sys.year = 25;
    sys.month = 12;
    sys.day = 31;
    sys.hour = 23;
    sys.minute = 59;
    sys.second = 59;
    sys.ieChangeTime = 1;
    sys.videoFormat = 1;
    EXPECT_EQ(s.Set(524, sys), zqproto::kOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(s.Query(524, 160), zqproto::kOk);
    auto synced = As<ZQNetSysParamRecord>(s.data);
    EXPECT_EQ(synced.year, 2026);  // the clock ran past midnight
    EXPECT_EQ(synced.month, 1);
    EXPECT_EQ(synced.day, 1);
    EXPECT_EQ(synced.videoFormat, 1);

    // Without the flag the settings change, the clock does not.
    synced.year = 2030;
    synced.ieChangeTime = 0;
    synced.language = 9;
    EXPECT_EQ(s.Set(524, synced), zqproto::kOk);
    ASSERT_EQ(s.Query(524, 160), zqproto::kOk);
    auto kept = As<ZQNetSysParamRecord>(s.data);
    EXPECT_EQ(kept.year, 2026);
    EXPECT_EQ(kept.language, 9);
}

TEST_F(UnitRecords, FactoryResetRestoresSettingsAndKeepsIdentity) {
    ZQNetKeyRecord key{};
    key.size = 76;
    std::strcpy(key.key, "NEWKEY");
    ASSERT_EQ(s.Set(553, key), zqproto::kOk);
    ZQNetFisheyeRecord fisheye{};
    ASSERT_EQ(s.Set(1015, fisheye), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kSimpleCmd, 349), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kPtz, 96, 0, std::vector<uint8_t>(44)), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kSetParam, 871, 0, std::vector<uint8_t>(10, 1)), zqproto::kOk);

    ZQNetResetRecord reset{};
    reset.size = 28;
    reset.year = 2024;
    reset.month = 3;
    reset.day = 5;
    reset.hour = 7;
    reset.minute = 8;
    reset.second = 9;
    reset.restore = 1;
    ASSERT_EQ(s.Set(588, reset), zqproto::kOk);
    UnitState state = unit.State();
    EXPECT_EQ(state.resets, 1);
    EXPECT_EQ(Bytes(state.lastReset), Bytes(reset));
    EXPECT_EQ(state.fisheye.centerX, 960);
    EXPECT_FALSE(state.telnet);
    EXPECT_FALSE(state.focusLocked);
    EXPECT_TRUE(state.lensFile.empty());
    EXPECT_STREQ(state.key.key, "NEWKEY");
    EXPECT_EQ(FormatMac(state.mac.mac), "00:12:34:56:78:9A");
    EXPECT_EQ(state.system.year, 2024);
    EXPECT_EQ(state.system.hour, 7);
}

TEST_F(UnitRecords, CommandsSetTelnetAndConsole) {
    struct Step {
        uint32_t command;
        bool telnet, console;
    } steps[] = {{349, true, false}, {351, true, true}, {350, false, true}, {352, false, false}};
    for (const Step& step : steps) {
        EXPECT_EQ(s.Request(Kind::kSimpleCmd, step.command), zqproto::kOk);
        EXPECT_EQ(unit.State().telnet, step.telnet);
        EXPECT_EQ(unit.State().console, step.console);
    }
    EXPECT_EQ(unit.State().commands, (std::vector<uint32_t>{349, 351, 350, 352}));
}

TEST_F(UnitRecords, DeviceInformationAndFocusRecordOfACamera) {
    ASSERT_EQ(s.Request(Kind::kGetDevInfo, 0), zqproto::kOk);
    ASSERT_EQ(s.data.size(), 1232u);
    auto info = As<ZQNetDeviceInfo>(s.data);
    EXPECT_EQ(ZQNetDeviceKind(info), 4u);
    EXPECT_EQ(info.deviceClass, 0x400u);
    EXPECT_EQ(info.lensCalibration, 1);
    ASSERT_EQ(s.Query(803, 200), zqproto::kOk);
    EXPECT_STREQ(As<ZQNetFocusRecord>(s.data).autofocusVersion, "AF-2.1");

    UnitConfig recorder = Camera();
    recorder.deviceKind = 2;
    recorder.lensCalibration = false;
    Unit nvr(recorder);
    Station r(nvr);
    ASSERT_EQ(r.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    ASSERT_EQ(r.Request(Kind::kGetDevInfo, 0), zqproto::kOk);
    EXPECT_EQ(ZQNetDeviceKind(As<ZQNetDeviceInfo>(r.data)), 2u);
    EXPECT_EQ(As<ZQNetDeviceInfo>(r.data).lensCalibration, 0);
    EXPECT_EQ(r.Query(803, 200), zqproto::kUnknownCode);
    EXPECT_EQ(r.Request(Kind::kPtz, 108), zqproto::kFailed);
}

TEST_F(UnitRecords, LensCalibrationReportsRunningThenTheResult) {
    auto alarm = [](const std::vector<uint8_t>& frame) {
        zqproto::FrameReader reader;
        reader.Feed(frame);
        zqproto::Frame f;
        EXPECT_EQ(reader.Next(f), zqproto::FrameReader::Status::kFrame);
        Message m;
        EXPECT_TRUE(zqproto::Decode(f, m));
        EXPECT_EQ(m.kind, Kind::kAlarm);
        EXPECT_EQ(m.code, 253u);
        EXPECT_EQ(m.sequence, 0u);
        return As<ZQNetLensCalibrationAlarm>(m.data);
    };
    Station other(unit);  // logged in but not subscribed: gets nothing
    ASSERT_EQ(other.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    ASSERT_EQ(s.Request(Kind::kAlarmSubscribe, 1), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kPtz, 108), zqproto::kOk);
    auto alarms = s.session.TakeAlarms();
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarm(alarms[0]).running, 1);
    EXPECT_TRUE(unit.State().calibrating);
    EXPECT_EQ(s.Request(Kind::kPtz, 108), zqproto::kFailed);  // already running
    unit.Tick();
    EXPECT_TRUE(s.session.TakeAlarms().empty());  // not yet
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    unit.Tick();
    alarms = s.session.TakeAlarms();
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarm(alarms[0]).running, 0);
    EXPECT_EQ(alarm(alarms[0]).result, 7);
    EXPECT_FALSE(unit.State().calibrating);
    EXPECT_TRUE(other.session.TakeAlarms().empty());

    ASSERT_EQ(s.Request(Kind::kAlarmSubscribe, 0), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kPtz, 108), zqproto::kOk);
    EXPECT_TRUE(s.session.TakeAlarms().empty());
}

TEST(UnitFaults, EachFaultActsOnItsCodeOnly) {
    struct Case {
        const char* name;
        int32_t code;
        Fault fault;
        Kind kind;
        uint32_t request_code;
        size_t bytes;
        uint32_t result;  // 0xFFFF: no reply
        bool open;
        int delay;
    } cases[] = {
        {"query fails",
         553,
         {.failQuery = true},
         Kind::kQueryParam,
         553,
         0,
         zqproto::kFailed,
         true,
         0},
        {"write still works",
         553,
         {.failQuery = true},
         Kind::kSetParam,
         553,
         76,
         zqproto::kOk,
         true,
         0},
        {"write fails",
         401,
         {.failWrite = true},
         Kind::kSetParam,
         401,
         116,
         zqproto::kFailed,
         true,
         0},
        {"other code unaffected",
         401,
         {.failWrite = true},
         Kind::kSetParam,
         553,
         76,
         zqproto::kOk,
         true,
         0},
        {"dev info fails",
         kFaultDevInfo,
         {.failQuery = true},
         Kind::kGetDevInfo,
         0,
         0,
         zqproto::kFailed,
         true,
         0},
        {"command fails",
         349,
         {.failWrite = true},
         Kind::kSimpleCmd,
         349,
         0,
         zqproto::kFailed,
         true,
         0},
        {"PTZ fails", 96, {.failWrite = true}, Kind::kPtz, 96, 44, zqproto::kFailed, true, 0},
        {"dropped", 700, {.drop = true}, Kind::kQueryParam, 700, 0, 0xFFFF, false, 0},
        {"delayed", 582, {.delayMs = 300}, Kind::kQueryParam, 582, 0, zqproto::kOk, true, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Unit unit(Camera());
        unit.SetFault(c.code, c.fault);
        Station s(unit);
        ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
        uint32_t size = c.kind == Kind::kQueryParam ? 2000 : 0;
        std::vector<uint8_t> data = c.kind == Kind::kQueryParam ? std::vector<uint8_t>{}
                                    : c.kind == Kind::kSetParam ? Sized(c.bytes)
                                                                : std::vector<uint8_t>(c.bytes);
        EXPECT_EQ(s.Request(c.kind, c.request_code, size, data), c.result);
        EXPECT_EQ(s.open, c.open);
        if (c.result != 0xFFFF) {
            ASSERT_EQ(s.steps.size(), 1u);
            EXPECT_EQ(s.steps[0].delayMs, c.delay);
        }
        unit.ClearFaults();
        if (c.open) {
            EXPECT_EQ(s.Request(c.kind, c.request_code, size, data), zqproto::kOk);
        }
    }
}

TEST(UnitFaults, ReadBackDiffersFromWhatWasWritten) {
    for (uint32_t code : {553u, 400u, 582u, 700u, 1015u, 524u}) {
        SCOPED_TRACE(code);
        Unit unit(Camera());
        Station s(unit);
        ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
        ASSERT_EQ(s.Query(code, 2000), zqproto::kOk);
        std::vector<uint8_t> honest = s.data;
        unit.SetFault(static_cast<int32_t>(code), {.readBackDiffers = true});
        ASSERT_EQ(s.Query(code, 2000), zqproto::kOk);
        ASSERT_EQ(s.data.size(), honest.size());
        EXPECT_NE(s.data, honest);
        EXPECT_EQ(unit.State().key.key[0], 'K');  // the stored state itself is unchanged
    }
}

TEST(UnitFaults, SilentLoginNeverAnswersAndNeverCloses) {
    Unit unit(Camera());
    unit.SetSilentLogin(true);
    Station s(unit);
    EXPECT_TRUE(s.greeting.empty());
    Message proof;
    proof.kind = Kind::kLoginProof;
    proof.user = "admin";
    EXPECT_TRUE(s.Send(proof).empty());
    EXPECT_TRUE(s.open);
    Message ping;
    ping.kind = Kind::kPing;
    EXPECT_TRUE(s.Send(ping).empty());
    EXPECT_TRUE(s.open);
    unit.SetSilentLogin(false);
    Station t(unit);
    EXPECT_EQ(t.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
}

TEST(UnitFaults, LoginDropAndDelay) {
    Unit unit(Camera());
    unit.SetFault(kFaultLogin, {.delayMs = 250});
    Station s(unit);
    ASSERT_EQ(s.greeting.size(), 1u);
    EXPECT_EQ(s.steps[0].delayMs, 250);
    unit.SetFault(kFaultLogin, {.drop = true});
    Station t(unit);
    EXPECT_TRUE(t.greeting.empty());
    EXPECT_FALSE(t.open);
}

TEST(UnitFaults, SkipAndCountPickTheRequestsThatFail) {
    using zqproto::kFailed;
    using zqproto::kOk;
    struct Request {
        Kind kind;
        uint32_t result;
    };
    constexpr Request kWriteOk{Kind::kSetParam, kOk}, kWriteFailed{Kind::kSetParam, kFailed};
    constexpr Request kQueryOk{Kind::kQueryParam, kOk}, kQueryFailed{Kind::kQueryParam, kFailed};
    struct Case {
        const char* name;
        int32_t code;
        Fault fault;
        std::vector<Request> requests;
        Fault left;  // the fault as it stands afterwards (all false: removed)
    } cases[] = {
        {"fail once", 553, {.failWrite = true, .count = 1}, {kWriteFailed, kWriteOk, kWriteOk}, {}},
        {"fail the 3rd request",
         553,
         {.failWrite = true, .skip = 2, .count = 1},
         {kWriteOk, kWriteOk, kWriteFailed, kWriteOk, kWriteOk},
         {}},
        {"skip one, fail two",
         553,
         {.failWrite = true, .skip = 1, .count = 2},
         {kWriteOk, kWriteFailed, kWriteFailed, kWriteOk},
         {}},
        {"skip two, then forever",
         553,
         {.failWrite = true, .skip = 2},
         {kWriteOk, kWriteOk, kWriteFailed, kWriteFailed, kWriteFailed},
         {.failWrite = true}},
        {"forever", 553, {.failWrite = true}, {kWriteFailed, kWriteFailed}, {.failWrite = true}},
        {"not yet fired",
         553,
         {.failWrite = true, .skip = 3, .count = 1},
         {kWriteOk, kWriteOk},
         {.failWrite = true, .skip = 1, .count = 1}},
        {"a query counts for a write fault",
         553,
         {.failWrite = true, .skip = 1, .count = 1},
         {kQueryOk, kWriteFailed, kWriteOk},
         {}},
        {"a write uses up a query fault",
         553,
         {.failQuery = true, .count = 1},
         {kWriteOk, kQueryOk},
         {}},
        {"query fails once", 400, {.failQuery = true, .count = 1}, {kQueryFailed, kQueryOk}, {}},
        {"command fails once",
         349,
         {.failWrite = true, .count = 1},
         {{Kind::kSimpleCmd, kFailed}, {Kind::kSimpleCmd, kOk}},
         {}},
        {"PTZ fails on the 2nd",
         96,
         {.failWrite = true, .skip = 1, .count = 1},
         {{Kind::kPtz, kOk}, {Kind::kPtz, kFailed}, {Kind::kPtz, kOk}},
         {}},
        {"device information fails on the 2nd",
         kFaultDevInfo,
         {.failQuery = true, .skip = 1, .count = 1},
         {{Kind::kGetDevInfo, kOk}, {Kind::kGetDevInfo, kFailed}, {Kind::kGetDevInfo, kOk}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Unit unit(Camera());
        unit.SetFault(c.code, c.fault);
        Station s(unit);
        ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
        const auto code = static_cast<uint32_t>(c.code);
        for (size_t i = 0; i < c.requests.size(); ++i) {
            SCOPED_TRACE(i);
            const Request& r = c.requests[i];
            std::vector<uint8_t> data;
            uint32_t size = 0;
            if (r.kind == Kind::kQueryParam) {
                size = 2000;
            } else if (r.kind == Kind::kSetParam) {
                data = Sized(zqproto::FindParam(code)->size);
            } else if (r.kind == Kind::kPtz) {
                data.resize(zqproto::kPtzFocusLockSize);
            }
            EXPECT_EQ(s.Request(r.kind, code, size, data), r.result);
        }
        const Fault left = unit.FaultFor(c.code);
        EXPECT_EQ(left.failQuery, c.left.failQuery);
        EXPECT_EQ(left.failWrite, c.left.failWrite);
        EXPECT_EQ(left.skip, c.left.skip);
        EXPECT_EQ(left.count, c.left.count);
    }
}

TEST(UnitFaults, DropDelayAndLoginFaultsFireOnlyTheirCount) {
    Unit unit(Camera());
    unit.SetFault(kFaultLogin, {.drop = true, .skip = 1, .count = 1});
    {
        Station s(unit);
        EXPECT_TRUE(s.open);
        ASSERT_EQ(s.greeting.size(), 1u);
    }
    {
        Station s(unit);
        EXPECT_FALSE(s.open);
        EXPECT_TRUE(s.greeting.empty());
    }
    Station s(unit);
    ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);

    // Requests of other codes do not count.
    unit.SetFault(582, {.failWrite = true, .skip = 1, .count = 1});
    ASSERT_EQ(s.Set(553, Camera().key), zqproto::kOk);
    ASSERT_EQ(s.Query(400, 116), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kSimpleCmd, 349), zqproto::kOk);
    EXPECT_EQ(unit.FaultFor(582).skip, 1);
    EXPECT_EQ(unit.FaultFor(582).count, 1);

    unit.SetFault(582, {.delayMs = 300, .count = 1});
    ASSERT_EQ(s.Query(582, 32), zqproto::kOk);
    EXPECT_EQ(s.steps.at(0).delayMs, 300);
    ASSERT_EQ(s.Query(582, 32), zqproto::kOk);
    EXPECT_EQ(s.steps.at(0).delayMs, 0);

    unit.SetFault(553, {.drop = true, .count = 1});
    EXPECT_EQ(s.Query(553, 76), 0xFFFFu);
    EXPECT_FALSE(s.open);
    Station t(unit);
    ASSERT_EQ(t.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    EXPECT_EQ(t.Query(553, 76), zqproto::kOk);

    unit.SetFault(400, {.readBackDiffers = true, .count = 1});
    ASSERT_EQ(t.Query(400, 116), zqproto::kOk);
    const std::vector<uint8_t> changed = t.data;
    ASSERT_EQ(t.Query(400, 116), zqproto::kOk);
    EXPECT_NE(changed, t.data);
    EXPECT_EQ(t.data, Bytes(unit.State().mac));
}

TEST(UnitFaults, SessionsOnManyThreadsShareOneCount) {
    Unit unit(Camera());
    unit.SetFault(553, {.failWrite = true, .skip = 10, .count = 5});
    std::atomic<int> failed{0}, ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            Station s(unit);
            if (s.Login("admin", "secret") != ZQNET_STATUS_LOGGED_IN)
                return;
            for (int i = 0; i < 25; ++i) {
                uint32_t r = s.Request(Kind::kSetParam, 553, 0, Sized(76));
                (r == zqproto::kFailed ? failed : ok)++;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failed, 5);
    EXPECT_EQ(ok, 95);
    EXPECT_EQ(unit.State().requests.size(), 100u);
}

class UnitRequestLog : public UnitRecords {};

TEST_F(UnitRequestLog, QueriesAndWritesAreLoggedInOrderWithTheirSizeWords) {
    unit.SetFault(582, {.failWrite = true});
    unit.SetFault(524, {.failQuery = true});
    struct Sent {
        Kind kind;
        uint32_t code;
        uint32_t size;  // of a query
        std::vector<uint8_t> data;
    };
    auto query = [](uint32_t code, uint32_t size) {
        return Sent{Kind::kQueryParam, code, size, {}};
    };
    auto write = [](uint32_t code, std::vector<uint8_t> data) {
        return Sent{Kind::kSetParam, code, 0, std::move(data)};
    };
    auto other = [](Kind kind, uint32_t code) { return Sent{kind, code, 0, {}}; };
    const RequestLogEntry kNone{};
    struct Case {
        const char* name;
        Sent sent;
        uint32_t result;
        RequestLogEntry logged;  // code 0: none
    } cases[] = {
        {"query", query(400, 116), zqproto::kOk, {400, false, 116, 0}},
        {"query asking for less", query(700, 16), zqproto::kOk, {700, false, 16, 0}},
        {"write", write(401, Sized(116)), zqproto::kOk, {401, true, 116, 116}},
        {"wrong size word", write(553, Sized(76, 0, 75)), zqproto::kBadSize, {553, true, 75, 76}},
        {"short record", write(553, {0x4C, 0, 0}), zqproto::kBadSize, {553, true, 0, 3}},
        {"unknown code", write(999, Sized(8)), zqproto::kUnknownCode, {999, true, 8, 8}},
        {"unknown query", query(588, 28), zqproto::kUnknownCode, {588, false, 28, 0}},
        {"write refused by a fault", write(582, Sized(32)), zqproto::kFailed, {582, true, 32, 32}},
        {"query refused by a fault", query(524, 160), zqproto::kFailed, {524, false, 160, 0}},
        {"lens file", write(871, {1, 2, 3, 4, 5}), zqproto::kOk, {871, true, 0x04030201, 5}},
        {"fisheye, word 0", write(1015, Sized(80, 7, 0)), zqproto::kOk, {1015, true, 0, 80}},
        {"command: not logged", other(Kind::kSimpleCmd, 349), zqproto::kOk, kNone},
        {"device information: not logged", other(Kind::kGetDevInfo, 0), zqproto::kOk, kNone},
        {"ping: not logged", other(Kind::kPing, 0), zqproto::kOk, kNone},
    };
    std::vector<RequestLogEntry> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(s.Request(c.sent.kind, c.sent.code, c.sent.size, c.sent.data), c.result);
        if (c.logged.code != 0)
            expected.push_back(c.logged);
        EXPECT_EQ(unit.State().requests, expected);
    }
    // A request that drops the session is logged too.
    unit.SetFault(553, {.drop = true});
    EXPECT_EQ(s.Query(553, 76), 0xFFFFu);
    expected.push_back({553, false, 76, 0});
    UnitState state = unit.State();
    EXPECT_EQ(state.requests, expected);

    // Only the accepted writes are kept, byte for byte.
    ASSERT_EQ(state.written.size(), 3u);
    EXPECT_EQ(state.written.at(401), Sized(116));
    EXPECT_EQ(state.written.at(871), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(state.written.at(1015), Sized(80, 7, 0));

    // As the control interface shows it.
    Json::Value json = StateToJson(state);
    ASSERT_EQ(json["requests"].size(), expected.size());
    EXPECT_EQ(ToLine(json["requests"][0]),
              R"({"code":400,"length":0,"op":"query","size_word":116})");
    EXPECT_EQ(ToLine(json["requests"][2]),
              R"({"code":401,"length":116,"op":"write","size_word":116})");
    EXPECT_EQ(json["requests"][3]["size_word"].asUInt(), 75u);
    EXPECT_EQ(json["written"].getMemberNames(), (std::vector<std::string>{"1015", "401", "871"}));
    EXPECT_EQ(json["written"]["871"].asString(), "0102030405");
    EXPECT_EQ(json["written"]["401"].asString(), "74000000" + std::string(224, '0'));
}

TEST_F(UnitRequestLog, WrittenHoldsTheLastAcceptedWriteOfEachCode) {
    auto record = [](uint32_t code, uint8_t fill) {
        const zqproto::ParamInfo* info = zqproto::FindParam(code);
        std::vector<uint8_t> r = info->variable
                                     ? std::vector<uint8_t>(17, fill)
                                     : Sized(info->size, fill, code == 1015 ? 0 : info->size);
        if (code == 524)
            r[82] = 0;  // settings only: the clock stays
        return r;
    };
    const uint32_t codes[] = {401, 524, 553, 582, 588, 700, 871, 1015};
    for (uint32_t code : codes) {
        SCOPED_TRACE(code);
        ASSERT_EQ(s.Request(Kind::kSetParam, code, 0, record(code, 0x11)), zqproto::kOk);
        ASSERT_EQ(s.Request(Kind::kSetParam, code, 0, record(code, 0x22)), zqproto::kOk);
        // Refused writes leave it as it was.
        unit.SetFault(static_cast<int32_t>(code), {.failWrite = true, .count = 1});
        ASSERT_EQ(s.Request(Kind::kSetParam, code, 0, record(code, 0x33)), zqproto::kFailed);
        std::vector<uint8_t> wrong = record(code, 0x44);
        wrong.resize(zqproto::FindParam(code)->size + 1);
        ASSERT_EQ(s.Request(Kind::kSetParam, code, 0, wrong), zqproto::kBadSize);
        EXPECT_EQ(unit.State().written.at(code), record(code, 0x22));
    }
    UnitState state = unit.State();
    EXPECT_EQ(state.written.size(), std::size(codes));
    EXPECT_EQ(state.written.at(588), Bytes(state.lastReset));
    // The extended record is kept as sent, mask and all, not as the unit applied it.
    EXPECT_NE(state.written.at(700), Bytes(state.ext));
}

TEST_F(UnitRequestLog, ClearRequestLogEmptiesTheLogAndTheWrittenRecords) {
    ASSERT_EQ(s.Set(553, Camera().key), zqproto::kOk);
    ASSERT_EQ(s.Query(553, 76), zqproto::kOk);
    ASSERT_EQ(s.Request(Kind::kSimpleCmd, 349), zqproto::kOk);
    EXPECT_EQ(unit.State().requests.size(), 2u);
    unit.ClearRequestLog();
    UnitState state = unit.State();
    EXPECT_TRUE(state.requests.empty());
    EXPECT_TRUE(state.written.empty());
    EXPECT_EQ(state.commands, std::vector<uint32_t>{349});  // the command log stays
    EXPECT_STREQ(state.key.key, "KEY-OLD");                 // and so do the records
    ASSERT_EQ(s.Query(400, 116), zqproto::kOk);
    EXPECT_EQ(unit.State().requests, (std::vector<RequestLogEntry>{{400, false, 116, 0}}));
}

TEST_F(UnitRequestLog, TheLogKeepsTheLatestRequests) {
    for (uint32_t i = 1; i <= 3000; ++i)
        ASSERT_EQ(s.Query(553, i), zqproto::kOk);
    const std::vector<RequestLogEntry> log = unit.State().requests;
    ASSERT_GE(log.size(), 512u);
    ASSERT_LE(log.size(), 1024u);
    for (size_t i = 0; i < log.size(); ++i)
        ASSERT_EQ(log[i].sizeWord, 3000 - (log.size() - 1 - i)) << i;
}

TEST_F(UnitRecords, AWriteMustCarryItsRecordsSizeWord) {
    // Everything stored, without the running clock and the request log.
    auto stored = [&] {
        UnitState state = unit.State();
        state.system.year = 0;
        state.system.month = state.system.day = state.system.hour = 0;
        state.system.minute = state.system.second = 0;
        state.requests.clear();
        return ToLine(StateToJson(state));
    };
    for (uint32_t code : {401u, 524u, 553u, 582u, 588u, 700u}) {
        const uint32_t size = zqproto::FindParam(code)->size;
        SCOPED_TRACE(code);
        const std::string before = stored();
        for (uint32_t word : {0u, size - 1, size + 1, size << 8, 0xFFFFFFFEu, 116u, 1032u}) {
            if (word == size)
                continue;
            SCOPED_TRACE(word);
            EXPECT_EQ(s.Request(Kind::kSetParam, code, 0, Sized(size, 0x5A, word)),
                      zqproto::kBadSize);
            EXPECT_TRUE(s.open);
            EXPECT_EQ(stored(), before);
        }
        EXPECT_EQ(s.Request(Kind::kSetParam, code, 0, Sized(size, 0x5A)), zqproto::kOk);
        EXPECT_NE(stored(), before);  // the same record with its own size is applied
    }
    // The fisheye block (the station leaves the word 0) and the raw lens file have none.
    struct Exempt {
        uint32_t code;
        std::vector<uint8_t> data;
    } exempt[] = {
        {1015, Sized(80, 1, 0)}, {1015, Sized(80, 2, 80)}, {1015, Sized(80, 3, 0xFFFFFFFE)},
        {871, Sized(400, 4, 0)}, {871, Sized(10, 5, 7)},   {871, {6}},
    };
    for (const Exempt& f : exempt) {
        SCOPED_TRACE(f.code);
        EXPECT_EQ(s.Request(Kind::kSetParam, f.code, 0, f.data), zqproto::kOk);
        EXPECT_EQ(unit.State().written.at(f.code), f.data);
    }
}

TEST(UnitDeviceRecord, CarriesTheSearchFields) {
    UnitConfig c = Camera();
    c.typeName = "RVMS";
    c.firmware = "V5.2.1";
    c.channels = 16;
    c.channelsByte = 0;
    c.netType = 1;
    c.dns2 = "127.0.0.3";
    c.webPort = 8080;
    Unit unit(c);
    ZQNetDeviceRecord r = unit.DeviceRecord();
    EXPECT_STREQ(r.ip, "127.0.0.10");
    EXPECT_STREQ(r.netmask, "255.0.0.0");
    EXPECT_STREQ(r.dns2, "127.0.0.3");
    EXPECT_EQ(r.mediaPort, 34567);
    EXPECT_EQ(r.webPort, 8080);
    EXPECT_EQ(r.netType, 1);
    EXPECT_STREQ(r.typeName, "RVMS");
    EXPECT_STREQ(r.version, "V5.2.1");
    EXPECT_STREQ(r.mac, "00:12:34:56:78:9A");
    EXPECT_EQ(r.channels, 16);
    EXPECT_EQ(r.channelsByte, 0);
}

TEST(UnitConfigFile, TheReadmeExampleParses) {
    std::ifstream in(std::string(ZQ_SOURCE_DIR) + "/maker/unit-sim/units.example.jsonl");
    std::stringstream text;
    text << in.rdbuf();
    std::vector<UnitConfig> units;
    std::string error;
    ASSERT_TRUE(ParseUnitLines(text.str(), units, error)) << error;
    ASSERT_GE(units.size(), 3u);
    bool rvms = false, camera = false;
    for (const UnitConfig& u : units) {
        rvms |= u.typeName == "RVMS";
        camera |= u.deviceKind == 4 && u.lensCalibration;
        EXPECT_EQ(u.address.rfind("127.", 0), 0u);
    }
    EXPECT_TRUE(rvms);
    EXPECT_TRUE(camera);
}

TEST(UnitConfigFile, FieldsAndCountExpansion) {
    std::string text =
        "# a comment\n"
        "\n"
        R"({"address":"127.0.1.1","count":256,"mac":"00:11:22:33:44:FE","password":"p","type_name":"NVR",)"
        R"("channels":8,"channels_byte":0,"key":"K1","main_board":"ZQ-DM-B","function_code":18446744073709551615,)"
        R"("board_key_id":305419896,"board_id":"B1","fisheye":[1,2,3],"clock":"2023-01-02 03:04:05",)"
        R"("lockout_ms":10,"faults":[{"code":553,"fail_write":true},{"code":582,"drop":true,"skip":2,"count":1}],)"
        R"("records":{"1015":")" +
        std::string(160, '0') + R"("}})" + "\n";
    std::vector<UnitConfig> units;
    std::string error;
    ASSERT_TRUE(ParseUnitLines(text, units, error)) << error;
    ASSERT_EQ(units.size(), 256u);
    EXPECT_EQ(units[0].address, "127.0.1.1");
    EXPECT_EQ(units[255].address, "127.0.2.0");
    EXPECT_EQ(FormatMac(units[0].mac.mac), "00:11:22:33:44:FE");
    EXPECT_EQ(FormatMac(units[2].mac.mac), "00:11:22:33:45:00");
    const UnitConfig& u = units[1];
    EXPECT_EQ(u.password, "p");
    EXPECT_EQ(u.channels, 8);
    EXPECT_EQ(u.channelsByte, 0);
    EXPECT_STREQ(u.key.key, "K1");
    EXPECT_STREQ(u.ext.mainBoard, "ZQ-DM-B");
    EXPECT_EQ(u.ext.functionCode[7], 0xFF);
    EXPECT_EQ(u.board.keyId, 305419896u);
    EXPECT_EQ(u.fisheye.radius, 3);
    EXPECT_EQ(u.system.year, 2023);
    EXPECT_EQ(u.system.second, 5);
    EXPECT_EQ(u.lockout.count(), 10);
    EXPECT_TRUE(u.faults.at(553).failWrite);
    EXPECT_EQ(u.faults.at(553).skip, 0);
    EXPECT_EQ(u.faults.at(553).count, 0);
    EXPECT_TRUE(u.faults.at(582).drop);
    EXPECT_EQ(u.faults.at(582).skip, 2);
    EXPECT_EQ(u.faults.at(582).count, 1);
}

TEST(UnitConfigFile, FaultSkipAndCount) {
    struct Case {
        const char* json;
        bool ok;
        int skip, count;
        const char* error_part;
    } cases[] = {
        {R"({"fail_write":true})", true, 0, 0, ""},
        {R"({"fail_write":true,"count":1})", true, 0, 1, ""},
        {R"({"fail_write":true,"skip":2,"count":1})", true, 2, 1, ""},
        {R"({"skip":0,"count":0})", true, 0, 0, ""},
        {R"({"skip":2147483647,"count":2147483647})", true, 2147483647, 2147483647, ""},
        {R"({"skip":-1})", false, 0, 0, "skip"},
        {R"({"count":-1})", false, 0, 0, "count"},
        {R"({"count":"1"})", false, 0, 0, "count"},
        {R"({"count":1.5})", false, 0, 0, "count"},
        {R"({"skip":true})", false, 0, 0, "skip"},
        {R"({"skip":2147483648})", false, 0, 0, "skip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        Json::Value object;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string why;
        ASSERT_TRUE(reader->parse(c.json, c.json + std::strlen(c.json), &object, &why)) << why;
        Fault fault{.skip = 9, .count = 9};
        std::string error;
        EXPECT_EQ(ParseFault(object, fault, error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(fault.skip, c.skip);
            EXPECT_EQ(fault.count, c.count);
        } else {
            EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
            EXPECT_EQ(fault.skip, 9);  // unchanged
        }
    }
}

TEST(UnitConfigFile, BadLinesAreRefusedWithTheLineNumber) {
    struct Case {
        const char* text;
        const char* error_part;
    } cases[] = {
        {"{\"address\":\"192.168.1.10\"}", "loopback"},
        {"{\"address\":\"127.0.0.10\"}\n{\"address\":\"127.0.0.10\"}", "line 2"},
        {"{not json", "line 1: not JSON"},
        {"[1,2]", "object"},
        {"{\"media_port\":\"34567\"}", "media_port"},
        {"{\"media_port\":70000}", "media_port"},
        {"{\"device_kind\":16}", "device_kind"},
        {"{\"mac\":\"00:11:22\"}", "mac"},
        {"{\"clock\":\"2024-13-01 00:00:00\"}", "clock"},
        {"{\"records\":{\"553\":\"00\"}}", "553"},
        {"{\"records\":{\"9\":\"00\"}}", "no record 9"},
        {"{\"count\":0}", "count"},
        {"{\"address\":\"127.255.255.255\",\"count\":2}", "127.0.0.0/8"},
        {"{\"faults\":[{\"fail_query\":true}]}", "code"},
        {"{\"faults\":[{\"code\":1,\"delay_ms\":-1}]}", "delay_ms"},
        {"{\"faults\":[{\"code\":1,\"count\":-1}]}", "count"},
        {"{\"faults\":[{\"code\":1,\"skip\":\"2\"}]}", "skip"},
        {"{\"faults\":[{\"code\":2,\"stop_after\":-1}]}", "stop_after"},
        {"{\"faults\":[{\"code\":2,\"garbage\":1}]}", "garbage"},
        {"{\"picture\":[1280]}", "picture"},
        {"{\"picture\":[1281,960]}", "picture"},
        {"{\"picture\":[8194,960]}", "picture"},
        {"{\"picture\":[0,0]}", "picture"},
        {"{\"frame_rate\":0}", "frame_rate"},
        {"{\"alarm_length\":4093}", "alarm_length"},
        {"{\"alarm_length\":-1}", "alarm_length"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<UnitConfig> units;
        std::string error;
        EXPECT_FALSE(ParseUnitLines(c.text, units, error));
        EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
        EXPECT_TRUE(units.empty());
    }
}

// ---------------------------------------------------------------------------------------------
// Live video

// What a station makes of the media pieces of one stream: each frame as far as it came.
struct Received {
    std::vector<uint8_t> block;  // the bytes that came, from offset 0
    uint32_t total = 0;          // the length the pieces announced
    bool whole() const { return block.size() == total; }
};

void Collect(const std::vector<UnitSession::Step>& steps, uint32_t stream,
             std::vector<Received>& frames) {
    for (const auto& step : steps) {
        zqproto::FrameReader reader;
        ASSERT_TRUE(reader.Feed(step.bytes));
        zqproto::Frame frame;
        while (reader.Next(frame) == zqproto::FrameReader::Status::kFrame) {
            Message m;
            ASSERT_TRUE(zqproto::Decode(frame, m));
            ASSERT_EQ(m.kind, Kind::kMediaPiece);
            ASSERT_EQ(m.code, stream);
            if (m.offset == 0)
                frames.push_back({{}, m.size});
            ASSERT_FALSE(frames.empty());
            ASSERT_EQ(m.offset, frames.back().block.size());
            frames.back().block.insert(frames.back().block.end(), m.data.begin(), m.data.end());
        }
    }
}

// NAL unit types of an Annex B access unit.
std::vector<int> NalTypes(std::span<const uint8_t> au) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < au.size(); ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            types.push_back(au[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}

UnitConfig SmallCamera() {
    UnitConfig c = Camera();
    c.pictureWidth = 320;
    c.pictureHeight = 240;
    c.fisheye.centerX = 160;
    c.fisheye.centerY = 120;
    c.fisheye.radius = 110;
    return c;
}

// A logged-in station whose unit's picture is encoded, with `frames` frames of stream 5 taken.
struct Streaming {
    explicit Streaming(UnitConfig config, Fault fault = {}) : unit(std::move(config)), s(unit) {
        EXPECT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
        EXPECT_NE(WaitLoop(unit.config().picture()), nullptr);
        unit.SetFault(kFaultPreview, fault);
        started = s.Request(Kind::kPreviewStart, 5, 1);
    }
    // Takes up to `count` frame times; false when the session ended.
    bool Take(int count) {
        for (int i = 0; i < count; ++i) {
            auto due = s.session.NextMediaDue();
            if (!due)
                return true;
            std::vector<UnitSession::Step> steps;
            const bool open = s.session.TakeMedia(*due, steps);
            Collect(steps, 5, frames);
            if (!open)
                return false;
        }
        return true;
    }
    Unit unit;
    Station s;
    uint32_t started = 0;
    std::vector<Received> frames;
};

TEST(UnitVideo, ACameraStreamsItsPictureAsNumberedTimeStampedMediaFrames) {
    Streaming st(SmallCamera());
    ASSERT_EQ(st.started, zqproto::kOk);
    EXPECT_EQ(st.unit.State().streams, 1);
    const auto before = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const auto first_due = st.s.session.NextMediaDue();
    ASSERT_TRUE(first_due);
    ASSERT_TRUE(st.Take(60));  // more than the two-second loop
    // 25 frames a second.
    EXPECT_EQ(*st.s.session.NextMediaDue() - *first_due, std::chrono::milliseconds(2400));
    ASSERT_EQ(st.frames.size(), 60u);
    for (size_t i = 0; i < st.frames.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(st.frames[i].whole());
        zqproto::MediaFrame f;
        ASSERT_TRUE(zqproto::ParseMediaFrame(st.frames[i].block, f));
        EXPECT_EQ(f.width, 320u);
        EXPECT_EQ(f.height, 240u);
        EXPECT_EQ(f.number, i);
        EXPECT_GE(static_cast<int64_t>(f.capture_us), before);
        const bool key = i % 25 == 0;
        EXPECT_EQ((f.flags & zqproto::kMediaKeyFrame) != 0, key);
        std::vector<int> types = NalTypes(f.payload);
        if (key) {  // SPS and PPS before the IDR slice
            auto sps = std::find(types.begin(), types.end(), 7);
            auto pps = std::find(types.begin(), types.end(), 8);
            auto idr = std::find(types.begin(), types.end(), 5);
            EXPECT_TRUE(sps < pps && pps < idr && idr != types.end());
        } else {
            EXPECT_NE(std::find(types.begin(), types.end(), 1), types.end());
        }
    }
    EXPECT_EQ(st.s.Request(Kind::kPreviewStop, 5), zqproto::kOk);
    EXPECT_FALSE(st.s.session.NextMediaDue());
    EXPECT_EQ(st.s.Request(Kind::kPreviewStop, 5), zqproto::kFailed);
    EXPECT_EQ(st.unit.State().streams, 0);
    EXPECT_EQ(st.unit.State().previews, 1);
}

TEST(UnitVideo, WhoMayStartAPreview) {
    UnitConfig recorder = Camera();
    recorder.deviceKind = 2;
    recorder.fisheye = {};
    EXPECT_FALSE(recorder.camera());
    EXPECT_EQ(Streaming(recorder).started, zqproto::kUnsupported);

    Streaming refused(SmallCamera(), {.failWrite = true, .count = 1});
    EXPECT_EQ(refused.started, zqproto::kFailed);
    EXPECT_EQ(refused.s.Request(Kind::kPreviewStart, 5, 1), zqproto::kOk);  // the fault is spent
    EXPECT_EQ(refused.s.Request(Kind::kPreviewStart, 5, 1), zqproto::kFailed);  // in use
    for (uint32_t id = 6; id < 9; ++id)
        EXPECT_EQ(refused.s.Request(Kind::kPreviewStart, id, 1), zqproto::kOk);
    EXPECT_EQ(refused.s.Request(Kind::kPreviewStart, 9, 1), zqproto::kFailed);  // four at most
    EXPECT_EQ(refused.unit.State().streams, 4);

    Streaming silent(SmallCamera(), {.noStream = true});
    EXPECT_EQ(silent.started, zqproto::kOk);
    EXPECT_FALSE(silent.s.session.NextMediaDue());

    Streaming dropped(SmallCamera(), {.drop = true});
    EXPECT_FALSE(dropped.s.open);
    EXPECT_EQ(dropped.unit.State().streams, 0);
}

TEST(UnitVideo, StreamFaultsCutGarbleAndEndTheStream) {
    {
        SCOPED_TRACE("every other frame ends halfway");
        Streaming st(SmallCamera(), {.truncate = true});
        ASSERT_TRUE(st.Take(6));
        ASSERT_EQ(st.frames.size(), 6u);
        for (size_t i = 0; i < 6; ++i)
            EXPECT_EQ(st.frames[i].whole(), i % 2 == 0) << i;
    }
    {
        SCOPED_TRACE("stops in the middle of the third frame");
        Streaming st(SmallCamera(), {.stopAfter = 2});
        ASSERT_TRUE(st.Take(10));
        ASSERT_EQ(st.frames.size(), 3u);
        EXPECT_TRUE(st.frames[1].whole());
        EXPECT_FALSE(st.frames[2].whole());
        EXPECT_FALSE(st.s.session.NextMediaDue());
        EXPECT_EQ(st.s.Request(Kind::kPing, 0), zqproto::kOk);  // the session goes on
    }
    {
        SCOPED_TRACE("drops the connection in the middle of the second frame");
        Streaming st(SmallCamera(), {.dropAfter = 1});
        EXPECT_FALSE(st.Take(10));
        ASSERT_EQ(st.frames.size(), 2u);
        EXPECT_TRUE(st.frames[0].whole());
        EXPECT_FALSE(st.frames[1].whole());
        EXPECT_EQ(st.unit.State().streams, 0);
    }
    {
        SCOPED_TRACE("garbage");
        Streaming st(SmallCamera(), {.garbage = true});
        ASSERT_TRUE(st.Take(6));
        ASSERT_EQ(st.frames.size(), 6u);
        for (size_t i = 0; i < 6; ++i) {
            zqproto::MediaFrame f;
            const bool parses = zqproto::ParseMediaFrame(st.frames[i].block, f);
            if (i % 2 == 1) {
                EXPECT_FALSE(parses) << i;
            } else {
                ASSERT_TRUE(parses) << i;
                EXPECT_TRUE(NalTypes(f.payload).empty() || f.payload[0] != 0) << i;
            }
        }
    }
    {
        SCOPED_TRACE("key frames of 16384x16384");
        Streaming st(SmallCamera(), {.hugePicture = true});
        ASSERT_TRUE(st.Take(26));
        ASSERT_EQ(st.frames.size(), 26u);
        zqproto::MediaFrame f;
        EXPECT_FALSE(zqproto::ParseMediaFrame(st.frames[0].block, f));  // the header says so
        EXPECT_EQ(st.frames[0].block[8] | st.frames[0].block[9] << 8, 16384);
        ASSERT_TRUE(zqproto::ParseMediaFrame(st.frames[25].block, f));  // the SPS says so
        EXPECT_EQ(f.width, 320u);
        const VideoFrame& key = WaitLoop(st.unit.config().picture())->frames[25];
        EXPECT_NE(std::vector<uint8_t>(f.payload.begin(), f.payload.end()), key.data);
        EXPECT_EQ(NalTypes(f.payload), NalTypes(key.data));
    }
}

TEST(UnitVideo, LineFileSettingsOfACamera) {
    const std::string line =
        R"({"address":"127.0.0.40","device_kind":4,"picture":[640,480],"frame_rate":10,)"
        R"("fisheye":[5000,-20,300],"alarm_length":20,"calibration_result":255,"password":"secret",)"
        R"("faults":[{"code":2,"no_stream":true,"garbage":true,"truncate":true,"huge_picture":true,)"
        R"("stop_after":3,"drop_after":0,"count":1}]})";
    std::vector<UnitConfig> units;
    std::string error;
    ASSERT_TRUE(ParseUnitLines(line, units, error)) << error;
    ASSERT_EQ(units.size(), 1u);
    const UnitConfig& c = units[0];
    EXPECT_TRUE(c.camera());
    const Fault& f = c.faults.at(kFaultPreview);
    EXPECT_TRUE(f.noStream && f.garbage && f.truncate && f.hugePicture);
    EXPECT_EQ(f.stopAfter, 3);
    EXPECT_EQ(f.dropAfter, 0);
    EXPECT_EQ(f.count, 1);
    EXPECT_EQ(Fault{}.stopAfter, -1);  // off unless given
    const PictureLook p = c.picture();
    EXPECT_EQ(p, (PictureLook{640, 480, 5000, -20, 300, 10}));
    // A camera without a picture size or circle streams 1280x960 with a circle in the middle.
    UnitConfig plain;
    plain.deviceKind = 4;
    EXPECT_EQ(plain.picture(), (PictureLook{1280, 960, 640, 480, 432, 25}));

    // The stored circle lies outside the picture; the picture is still made (all dark).
    Unit unit(c);
    Station s(unit);
    ASSERT_EQ(s.Login("admin", "secret"), ZQNET_STATUS_LOGGED_IN);
    ASSERT_EQ(s.Query(1015, 80), zqproto::kOk);
    const auto fisheye = As<ZQNetFisheyeRecord>(s.data);
    EXPECT_EQ(fisheye.centerX, 5000);
    EXPECT_EQ(fisheye.centerY, -20);
    EXPECT_EQ(fisheye.radius, 300);
    auto loop = WaitLoop(p);
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->frames.size(), 20u);  // two seconds at 10 frames a second
    EXPECT_EQ(unit.State().lens.alarmLength, 20u);
    EXPECT_EQ(unit.State().lens.result, 255);
}

TEST_F(UnitRecords, CalibrationAlarmsCarryTheChosenLengthAndResult) {
    // Byte 452 of the device information follows the capability.
    for (bool supported : {false, true}) {
        unit.SetLensCalibration({.supported = supported});
        ASSERT_EQ(s.Request(Kind::kGetDevInfo, 0), zqproto::kOk);
        EXPECT_EQ(As<ZQNetDeviceInfo>(s.data).lensCalibration, supported ? 1 : 0);
        EXPECT_EQ(s.Request(Kind::kPtz, 108), supported ? zqproto::kOk : zqproto::kFailed);
        while (unit.State().calibrating)
            unit.Tick();
    }
    ASSERT_EQ(s.Request(Kind::kAlarmSubscribe, 1), zqproto::kOk);
    s.session.TakeAlarms();
    struct Case {
        uint32_t length;
        uint8_t result;
    } cases[] = {{56, 0}, {56, 1}, {56, 255}, {25, 255}, {24, 1}, {0, 1}, {100, 255}, {4092, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        unit.SetLensCalibration({.supported = true,
                                 .duration = std::chrono::milliseconds(0),
                                 .result = c.result,
                                 .alarmLength = c.length});
        ASSERT_EQ(s.Request(Kind::kPtz, 108), zqproto::kOk);
        unit.Tick();
        auto alarms = s.session.TakeAlarms();
        ASSERT_EQ(alarms.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            zqproto::FrameReader reader;
            reader.Feed(alarms[i]);
            zqproto::Frame f;
            ASSERT_EQ(reader.Next(f), zqproto::FrameReader::Status::kFrame);
            Message m;
            ASSERT_TRUE(zqproto::Decode(f, m));
            ASSERT_EQ(m.data.size(), c.length);
            if (c.length > 24)
                EXPECT_EQ(m.data[24], i == 0 ? 1 : 0);
            if (c.length > 25)
                EXPECT_EQ(m.data[25], i == 0 ? 0 : c.result);
            for (size_t k = 56; k < m.data.size(); ++k)
                ASSERT_EQ(m.data[k], 0);
        }
    }
}

}  // namespace
}  // namespace unitsim

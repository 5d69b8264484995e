// SysParamDst and the time sync against simulated units over libZQNet: what a unit receives
// (its raw record 524 as written) for each document, and the documents that are refused.
#include <gtest/gtest.h>

#include <json/reader.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "params/sys_param_dst.h"
#include "platform/clock.h"
#include "simulator.h"
#include "support/logged_in_session.h"

namespace {

// Units 127.0.37.1 to .8: every byte of the system record set to a pattern of its own.
constexpr const char* kBlock = "127.0.37.";
constexpr int kUnits = 8;

ZQNetSysParamRecord Pattern() {
    ZQNetSysParamRecord r{};
    auto* bytes = reinterpret_cast<uint8_t*>(&r);
    for (size_t i = 0; i < sizeof r; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    r.size = sizeof r;
    r.dstSize = 44;
    r.ntpSize = 20;
    r.year = 2023;
    r.month = 7;
    r.day = 14;
    r.hour = 9;
    r.minute = 30;
    r.second = 5;
    r.ieChangeTime = 0;
    r.languageMask = 0x80000001u;
    std::memset(r.ntpServer, 0, sizeof r.ntpServer);
    std::strcpy(r.ntpServer, "ntp.example.org");
    return r;
}

std::string Address(int unit) {
    return kBlock + std::to_string(unit);
}

std::vector<uint8_t> Bytes(const ZQNetSysParamRecord& r) {
    const auto* b = reinterpret_cast<const uint8_t*>(&r);
    return {b, b + sizeof r};
}

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
    return v;
}

class SysParamDstTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<unitsim::UnitConfig> units;
        for (int i = 1; i <= kUnits; ++i) {
            unitsim::UnitConfig u;
            u.address = Address(i);
            u.searchPort = 0;
            u.system = Pattern();
            units.push_back(u);
        }
        std::string error;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        delete simulator_;
        platform::SetLocalClock(nullptr);
    }
    void TearDown() override {
        for (int i = 1; i <= kUnits; ++i) {
            Unit(i).ClearFaults();
            Unit(i).ClearRequestLog();
        }
    }

    static unitsim::Unit& Unit(int i) { return *simulator_->Find(Address(i)); }
    // The raw record 524 the unit accepted last (empty when none).
    static std::vector<uint8_t> Written(int i) {
        auto written = Unit(i).State().written;
        auto at = written.find(ZQNET_PARAM_SYSTEM);
        return at == written.end() ? std::vector<uint8_t>{} : at->second;
    }
    static size_t Requests(int i) { return Unit(i).State().requests.size(); }

    static inline unitsim::Simulator* simulator_ = nullptr;
};

TEST_F(SysParamDstTest, QueryGivesEveryMemberAsCompactJsonWithOneLineFeed) {
    LoggedInSession session(Address(1));
    ZQNET_HANDLE handle = session.handle();
    ASSERT_NE(handle, 0u);
    SysParamDst param;
    param.SetSession(&handle);
    const std::string text = param.Query(0);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(text.find(' '), std::string::npos);
    const ZQNetSysParamRecord r = Pattern();
    const Json::Value doc = Parse(text);
    EXPECT_EQ(doc["LanguageMask"].asUInt(), 0x80000001u);  // unsigned, above 2^31
    EXPECT_EQ(doc["ExtendLanguageMask"].asUInt(), r.extendLanguageMask);
    EXPECT_EQ(doc["NtpServAddr"].asString(), "ntp.example.org");
    EXPECT_EQ(doc["TimeZone_EX"].asUInt(), r.timeZoneEx);
    EXPECT_EQ(doc["hybirdEnable"].asUInt(), r.hybirdEnable);
    EXPECT_EQ(doc["vgaresolution"].asUInt(), r.vgaResolution);
    EXPECT_EQ(doc["DSTSet"]["Year"].asUInt(), 2023u);
    EXPECT_EQ(doc["DSTSet"]["EndWeekDay"].asUInt(), r.endWeekDay);
    EXPECT_EQ(doc["DSTSet"]["StartDate"][2].asUInt(), r.startDate[2]);
    EXPECT_EQ(doc["NtpSet"]["NtpIPAddr"].asUInt(), r.ntpIpAddr[0]);
    EXPECT_EQ(doc["NtpSet"]["TimeZone"].asUInt(), r.timeZone);
    EXPECT_EQ(doc.getMemberNames().size(), 14u);
    EXPECT_EQ(doc["DSTSet"].getMemberNames().size(), 23u);

    // A read the unit refuses, and no session at all.
    Unit(1).SetFault(ZQNET_PARAM_SYSTEM, {.failQuery = true});
    EXPECT_EQ(param.Query(0), "err");
    ZQNET_HANDLE none = 0;
    param.SetSession(&none);
    EXPECT_EQ(param.Query(0), "err");
    SysParamDst unbound;
    EXPECT_EQ(unbound.Query(0), "err");
}

TEST_F(SysParamDstTest, TimeSyncSendsTheTwoDigitYearAndTheUnitsOwnSettings) {
    struct Case {
        int year;
        uint16_t sent;
    };
    const Case cases[] = {{2024, 24}, {2005, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.year);
        platform::SetLocalClock([&] { return platform::LocalTime{c.year, 2, 29, 23, 58, 7, 4}; });
        LoggedInSession session(Address(2));
        ZQNET_HANDLE handle = session.handle();
        ASSERT_NE(handle, 0u);
        const std::vector<uint8_t> before = Bytes(Unit(2).State().system);
        SysParamDst param;
        ASSERT_TRUE(params::SyncDeviceTime(&handle, param));

        std::vector<uint8_t> sent = Written(2);
        ASSERT_EQ(sent.size(), 160u);
        ZQNetSysParamRecord r{};
        std::memcpy(&r, sent.data(), sizeof r);
        EXPECT_EQ(r.year, c.sent);
        EXPECT_EQ(r.month, 2);
        EXPECT_EQ(r.day, 29);
        EXPECT_EQ(r.hour, 23);
        EXPECT_EQ(r.minute, 58);
        EXPECT_EQ(r.second, 7);
        EXPECT_EQ(r.ieChangeTime, 1);
        // Everything but the clock (8..14) and the change-time byte as the unit had it.
        for (size_t i = 0; i < sent.size(); ++i) {
            if ((i >= 8 && i <= 14) || i == 82)
                continue;
            EXPECT_EQ(sent[i], before[i]) << "byte " << i;
        }
        // The unit's clock now runs from the synced time (a two-digit year counts from 2000).
        EXPECT_EQ(Unit(2).State().system.year, 2000 + c.sent);
    }
}

TEST_F(SysParamDstTest, TimeSyncSendsNothingWhenEitherReadFails) {
    platform::SetLocalClock([] { return platform::LocalTime{2024, 5, 6, 7, 8, 9, 1}; });
    LoggedInSession session(Address(3));
    ZQNET_HANDLE handle = session.handle();
    ASSERT_NE(handle, 0u);
    for (int skip : {0, 1}) {  // the first read, then the Query's read
        SCOPED_TRACE(skip);
        Unit(3).SetFault(ZQNET_PARAM_SYSTEM, {.failQuery = true, .skip = skip, .count = 1});
        SysParamDst param;
        EXPECT_FALSE(params::SyncDeviceTime(&handle, param));
        EXPECT_TRUE(Written(3).empty());
    }
    SysParamDst param;
    EXPECT_FALSE(params::SyncDeviceTime(nullptr, param));
    Unit(3).SetFault(ZQNET_PARAM_SYSTEM, {.failWrite = true});
    EXPECT_FALSE(params::SyncDeviceTime(&handle, param));
    EXPECT_TRUE(Written(3).empty());
}

// Each document as Write sends it: the bytes it sets, over a record just read by Query.
TEST_F(SysParamDstTest, WriteStoresEachMemberByTheRules) {
    struct Case {
        const char* name;
        std::string json;
        std::vector<std::pair<size_t, uint8_t>> bytes;  // offset, value sent
    };
    const std::string seventy(70, 'n');
    const Case cases[] = {
        {"start date with a four-digit year",
         R"({"DSTSet":{"StartDate":[2024,3,31],"EndDate":[2255,12,1],"StartHour":[300,2,3]}})",
         {{32, 24}, {33, 3}, {34, 31}, {40, 255}, {41, 12}, {42, 1}, {36, 300 & 0xff}}},
        {"start date with a two-digit year",
         R"({"DSTSet":{"StartDate":[24,3,31]}})",
         {{32, 24}, {33, 3}, {34, 31}}},
        {"no NtpSet",
         R"({"Language":3})",
         {{48, 20},
          {49, 0},
          {52, 0},
          {53, (53 * 7 + 3) & 0xff},
          {56, 0},
          {57, 0},
          {72, 3},
          {4, 44},
          {82, 1}}},
        {"NtpServAddr of 70 characters",
         R"({"NtpServAddr":")" + seventy + R"("})",
         {{88, 'n'}, {151, 'n'}, {152, 0}, {153, 0}}},
        {"LanguageMask at 2^31 and above is carried",
         R"({"LanguageMask":4294967295,"TimeZone_EX":65535})",
         {{68, 0xff}, {69, 0xff}, {70, 0xff}, {71, 0xff}, {152, 0xff}, {153, 0xff}}},
        {"numbers wider than their field keep their low bytes",
         R"({"DSTSet":{"Year":70000,"Month":300},"Language":-1})",
         {{8, 70000 & 0xff}, {9, (70000 >> 8) & 0xff}, {10, 300 & 0xff}, {72, 0xff}}},
        {"hybirdEnable, ExtendLanguageMask and bIEChangeTime are not taken",
         R"({"hybirdEnable":9,"ExtendLanguageMask":0,"bIEChangeTime":0})",
         {{80, (80 * 7 + 3) & 0xff}, {84, (84 * 7 + 3) & 0xff}, {82, 1}}},
        {"duplicate members: the last one counts",
         R"({"NtpSet":{"NtpIPAddr":9,"UseNtp":1,"TimeZone":8,"NtpIPAddr":10}})",
         {{52, 10}, {56, 1}, {57, 8}}},
    };
    LoggedInSession session(Address(4));
    ZQNET_HANDLE handle = session.handle();
    ASSERT_NE(handle, 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SysParamDst param;
        param.SetSession(&handle);
        ASSERT_NE(param.Query(0), "err");
        ASSERT_EQ(param.Write(c.json), 1);
        const std::vector<uint8_t> sent = Written(4);
        ASSERT_EQ(sent.size(), 160u);
        for (const auto& [offset, value] : c.bytes)
            EXPECT_EQ(sent[offset], value) << "byte " << offset;
        // The 70-character text fills the field with no terminator; carried bytes stay.
        EXPECT_EQ(sent[0], 160);
        EXPECT_EQ(sent[15], (15 * 7 + 3) & 0xff);
        EXPECT_EQ(sent[154], (154 * 7 + 3) & 0xff);
    }
}

// Texts Write refuses: 0 and not one request reaches the unit.
TEST_F(SysParamDstTest, WriteRefusesBadDocumentsWithoutAnyCall) {
    const char* refused[] = {
        "null",
        "",
        "{",
        R"({"Language":1)",
        "[1,2,3]",
        "42",
        " null",
        R"({"Language":"1"})",
        R"({"Language":1.5})",
        R"({"Language":true})",
        R"({"LanguageMask":99999999999999999999999})",
        R"({"NtpServAddr":5})",
        R"({"DSTSet":[1,2]})",
        R"({"DSTSet":{"StartDate":"2024-03-31"}})",
        R"({"DSTSet":{"StartDate":[2024,"3",31]}})",
        R"({"NtpSet":{"UseNtp":{}}})",
        // Not JSON, though lenient readers take them.
        R"({"Language":3} trailing junk)",
        R"({"Language":3}})",
        R"({"Language":3,})",
        R"({"DSTSet":{"Year":24,},"Language":3})",
        R"({"Language":3 /* comment */})",
        "{\"Language\":3} // comment",
        R"({'Language':3})",
        R"({'NtpSet':{'NtpIPAddr':10,'UseNtp':1,'TimeZone':8}})",
        R"({"NtpServAddr":'pool.ntp.org'})",
    };
    LoggedInSession session(Address(5));
    ZQNET_HANDLE handle = session.handle();
    ASSERT_NE(handle, 0u);
    SysParamDst param;
    param.SetSession(&handle);
    ASSERT_NE(param.Query(0), "err");
    const ZQNetSysParamRecord read = param.Record();
    const size_t requests = Requests(5);
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        EXPECT_EQ(param.Write(text), 0);
        EXPECT_EQ(Requests(5), requests);
        EXPECT_EQ(std::memcmp(&param.Record(), &read, sizeof read), 0);
    }
    // A write the unit refuses is a failure too; one without a session sends nothing.
    Unit(5).SetFault(ZQNET_PARAM_SYSTEM, {.failWrite = true});
    EXPECT_EQ(param.Write("{}"), 0);
    ZQNET_HANDLE none = 0;
    param.SetSession(&none);
    EXPECT_EQ(param.Write("{}"), 0);
    EXPECT_EQ(Requests(5), requests + 1);
}

TEST(ParamBase, AnswersErrToQueriesAndOneToWrites) {
    CParamBase base;
    EXPECT_EQ(base.Query(), "err");
    EXPECT_EQ(base.Query(0), "err");
    EXPECT_EQ(base.Query(std::string("x")), "err");
    EXPECT_EQ(base.Write("{}"), 1);
    EXPECT_EQ(base.Write(0, "{}"), 1);
}

}  // namespace

// The rules of the tabs, case by case: MAC texts, report results, text fields, keys, the reset
// record.
#include <gtest/gtest.h>

#include <cstring>

#include "tabs/key_operation.h"
#include "tabs/mac_rules.h"
#include "tabs/reset_operation.h"

namespace tabs {
namespace {

TEST(MacRules, ParseReadsTheThreeLengthsAndRefusesTheRest) {
    struct Case {
        const char* text;
        MacParse result;
        const char* dash;  // the bytes in `out` afterwards (they start as 0xEE)
    };
    const Case cases[] = {
        {"00:1a:2B:3c:4D:5e", MacParse::kOk, "00-1A-2B-3C-4D-5E"},
        {"00-1A-2B-3C-4D-5E", MacParse::kOk, "00-1A-2B-3C-4D-5E"},
        {"00 1A 2B 3C 4D 5E", MacParse::kOk, "00-1A-2B-3C-4D-5E"},  // any separator
        {"00x1AY2B#3C\xC3"
         "4D\xC3"
         "5E",
         MacParse::kOk, "00-1A-2B-3C-4D-5E"},                                  // bytes >= 0x80
        {"00:1A:\xC3\xA9:3C:4D:5E", MacParse::kBadText, "00-1A-EE-EE-EE-EE"},  // in a pair
        {"001A2B3C4D5E", MacParse::kOk, "00-1A-2B-3C-4D-5E"},
        {"00--1A--2B--3C--4D--5E", MacParse::kOk, "00-1A-2B-3C-4D-5E"},  // 22: pairs every 4
        {"001A-2B3C-4D5E", MacParse::kBadText, "EE-EE-EE-EE-EE-EE"},     // 14 characters
        {"", MacParse::kBadText, "EE-EE-EE-EE-EE-EE"},
        {"00:1A:2B:3C:4D:5", MacParse::kBadText, "EE-EE-EE-EE-EE-EE"},
        {"00:1A:2B:3C:4D:5E:", MacParse::kBadText, "EE-EE-EE-EE-EE-EE"},
        {"00:1A:2G:3C:4D:5E", MacParse::kBadText, "00-1A-EE-EE-EE-EE"},  // bytes so far stay
        {"0x:1A:2B:3C:4D:5E", MacParse::kBadText, "EE-EE-EE-EE-EE-EE"},
        {"00:00:00:00:00:00", MacParse::kZero, "00-00-00-00-00-00"},
        {"000000000000", MacParse::kZero, "00-00-00-00-00-00"},
        {"'0:1A:2B:3C:4D:5E", MacParse::kBadText, "EE-EE-EE-EE-EE-EE"},  // a quote
        {"ff:ff:ff:ff:ff:ff", MacParse::kOk, "FF-FF-FF-FF-FF-FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t out[6];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(ParseMacText(c.text, out), c.result);
        EXPECT_EQ(MacDashText(out), c.dash);
    }
}

TEST(MacRules, TextFormsMulticastAndContent) {
    const uint8_t eth[6] = {0x02, 0x1a, 0x00, 0x00, 0x01, 0x0f};
    const uint8_t wifi[6] = {0x02, 0x1a, 0x00, 0x00, 0x02, 0xa0};
    const uint8_t zero[6] = {};
    const uint8_t multicast[6] = {0x01, 0, 0, 0, 0, 1};
    EXPECT_EQ(MacDashText(eth), "02-1A-00-00-01-0F");
    EXPECT_EQ(MacColonText(eth), "02:1A:00:00:01:0F");
    EXPECT_FALSE(IsMulticastMac(eth));
    EXPECT_TRUE(IsMulticastMac(multicast));
    EXPECT_TRUE(IsZeroMac(zero));
    EXPECT_FALSE(IsZeroMac(multicast));

    const MacContent alone = MakeMacContent(eth, zero);
    EXPECT_EQ(alone.content, "02:1A:00:00:01:0F");
    EXPECT_FALSE(alone.content2.has_value());
    const MacContent both = MakeMacContent(eth, wifi);
    EXPECT_EQ(both.content, "02:1A:00:00:01:0F+02:1A:00:00:02:A0");
    EXPECT_EQ(both.content2, "02:1A:00:00:02:A0");
}

TEST(TabRules, ReportResultsMapToEachTabsTexts) {
    struct Case {
        const char* result;
        int mac;
        int key;
    };
    const Case cases[] = {
        {"", 48, 48},
        {"net_error", 162, 162},
        {"rsp_msg_error", 163, 163},
        {"SERVER_BUSY", 164, 164},
        {"db_error", 165, 165},
        {"Order_Name_Not_Exist", 166, 166},
        {"content_not_exist", 169, 167},
        {"INSTALLED", 170, 168},
        {"installed ", 49, 49},
        {"install", 49, 49},
        {"req_msg_error", 49, 49},
        {"p2p_id_not_exist", 49, 49},
        {"uuid_reused", 49, 49},  // the identifier belongs to another request: a general failure
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        EXPECT_EQ(MacReportTextId(c.result), c.mac);
        EXPECT_EQ(KeyReportTextId(c.result), c.key);
    }
}

TEST(TabRules, KeysAreCutAfterTheLastEqualsSign) {
    const std::pair<const char*, const char*> cases[] = {
        {"ABCDEFGHIJ0123456789", "ABCDEFGHIJ0123456789"},
        {"https://p2p.example/?id=ABCDEFGHIJ0123456789", "ABCDEFGHIJ0123456789"},
        {"a=b=ABCDEFGHIJ0123456789", "ABCDEFGHIJ0123456789"},
        {"ABCDEFGHIJ0123456789=", ""},
        {"=", ""},
        {"", ""},
    };
    for (const auto& [scanned, key] : cases) {
        SCOPED_TRACE(scanned);
        EXPECT_EQ(CutKey(scanned), key);
    }
}

TEST(TabRules, AKeyRecordWhoseTextDoesNotStartPrintableIsCleared) {
    struct Case {
        std::string field;  // the first bytes of the key field
        std::string text;
        bool cleared;
    };
    const Case cases[] = {
        {"ABCDEFGHIJ0123456789", "ABCDEFGHIJ0123456789", false},
        {" lead", " lead", false},
        {"~", "~", false},
        {std::string("\x01XYZ", 4), "", true},
        {"\x7F"
         "XYZ",
         "", true},
        {"\xC3\xA9t\xC3\xA9", "", true},  // a non-ASCII first byte
        {"", "", true},
        {std::string(48, 'K'), std::string(48, 'K'), false},  // fills the field, no terminator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ZQNetKeyRecord record{};
        std::memcpy(record.key, c.field.data(), c.field.size());
        record.reserved[0] = 0x5A;
        EXPECT_EQ(KeyText(record), c.text);
        if (c.cleared) {
            for (char b : record.key)
                EXPECT_EQ(b, 0);
        }
        EXPECT_EQ(record.reserved[0], 0x5A);  // only the key field is touched
    }
}

TEST(MacRules, TextFieldsAreCutWithoutSplittingACharacter) {
    struct Case {
        std::string text;
        size_t size;
        std::string stored;
    };
    const Case cases[] = {
        {"M3216", 32, "M3216"},
        {std::string(40, 'x'), 32, std::string(31, 'x')},
        {std::string(30, 'x') + "模块", 32, std::string(30, 'x')},       // 3-byte character at 30
        {std::string(28, 'x') + "模", 32, std::string(28, 'x') + "模"},  // exactly 31 bytes
        {"", 32, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char field[32];
        std::memset(field, 'Z', sizeof field);
        CopyTextField(c.text, field, c.size);
        EXPECT_EQ(FieldText(field, sizeof field), c.stored);
        for (size_t i = c.stored.size(); i < sizeof field; ++i) {
            EXPECT_EQ(field[i], 0) << i;
        }
    }
    const char full[4] = {'a', 'b', 'c', 'd'};  // no terminator
    EXPECT_EQ(FieldText(full, sizeof full), "abcd");

    // A serial number may fill its whole field; a character is still never cut.
    const std::pair<std::string, std::string> filled[] = {
        {std::string(40, 'S'), std::string(32, 'S')},
        {std::string(31, 'S') + "序", std::string(31, 'S')},
        {"SER-1", "SER-1"},
    };
    for (const auto& [text, stored] : filled) {
        char field[32];
        std::memset(field, 'Z', sizeof field);
        FillTextField(text, field, sizeof field);
        EXPECT_EQ(FieldText(field, sizeof field), stored);
    }
}

TEST(ResetRecord, CarriesTheLocalTimeAndTheRestoreByte) {
    const ZQNetResetRecord r = MakeResetRecord({2024, 3, 5, 7, 8, 9, 2});
    const auto* b = reinterpret_cast<const uint8_t*>(&r);
    const uint8_t expected[28] = {28, 0, 0, 0, 0xE8, 0x07, 3, 5, 7, 8, 9, 0, 1};
    EXPECT_EQ(std::memcmp(b, expected, sizeof expected), 0);
}

}  // namespace
}  // namespace tabs

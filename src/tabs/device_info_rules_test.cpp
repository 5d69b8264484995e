// The device information rules, case by case: the checks before a Set, the two records a Set
// builds, and what a Query shows of the records it read.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tabs/device_info_rules.h"

namespace tabs {
namespace {

// Every item checked and valid: what an operator leaves after filling the whole tab.
DeviceInfoItems Valid() {
    DeviceInfoItems items;
    items.checked.fill(true);
    items.main_board = "ZQ-DM-A";
    items.product_model = "NVR-0408-P";
    items.device_model = "NVR0408";
    items.device_name = "4CH PoE NVR";
    items.function_code = "1024";
    items.custom_code = "EN-01";
    items.key_id = "0x1A";
    items.board_id = "BOARD-1";
    items.serial = "SN-0001";
    items.alarm_outputs = "4";
    items.alarm_inputs = "8";
    items.audio = "1";
    items.poe_power = "30";
    for (int list = 0; list < kFixedListCount; ++list)
        items.lists[list] = ListEntries(static_cast<FixedList>(list))[0].value;
    return items;
}

// The same texts with only the given flags checked.
DeviceInfoItems Only(const std::vector<OptionFlag>& flags) {
    DeviceInfoItems items = Valid();
    items.checked.fill(false);
    for (OptionFlag flag : flags)
        items.checked[flag] = true;
    return items;
}

std::string Bytes(const void* data, size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

TEST(DeviceInfoRules, ChecksBeforeTheSessionRefuseInOrder) {
    struct Case {
        const char* name;
        std::function<DeviceInfoItems()> items;
        int refusal;
    };
    // The lambdas keep their own copies: they run after the table is built.
    auto with = [](std::vector<OptionFlag> flags, std::function<void(DeviceInfoItems&)> change) {
        return [flags, change] {
            DeviceInfoItems items = flags.empty() ? Valid() : Only(flags);
            change(items);
            return items;
        };
    };
    auto only = [](std::vector<OptionFlag> flags) { return [flags] { return Only(flags); }; };
    const Case cases[] = {
        {"everything checked and valid", Valid, 0},
        // Something to write.
        {"nothing checked", only({}), 140},
        {"video format alone", only({kFormat}), 140},
        {"key ID alone", only({kKeyID}), 140},
        {"key ID and video format", only({kKeyID, kFormat}), 140},
        {"device type alone", only({kHobDeviceType}), 140},
        {"maximum focal length alone", only({kMaxFoaclLength}), 0},
        {"board ID alone", only({kBoardID}), 0},
        {"main board alone", only({kMainBoardName}), 0},
        {"main board checked and empty",
         with({kMainBoardName, kProductType}, [](auto& i) { i.main_board.clear(); }), 140},
        {"main board empty but not checked",
         with({kProductType}, [](auto& i) { i.main_board.clear(); }), 0},
        // A checked item may not be empty.
        {"product model empty", with({}, [](auto& i) { i.product_model.clear(); }), 140},
        {"device model empty", with({}, [](auto& i) { i.device_model.clear(); }), 140},
        {"device name empty", with({}, [](auto& i) { i.device_name.clear(); }), 140},
        {"function code empty", with({}, [](auto& i) { i.function_code.clear(); }), 140},
        {"language code empty", with({}, [](auto& i) { i.custom_code.clear(); }), 140},
        {"key ID empty", with({}, [](auto& i) { i.key_id.clear(); }), 140},
        {"board ID empty", with({}, [](auto& i) { i.board_id.clear(); }), 140},
        {"alarm outputs empty", with({}, [](auto& i) { i.alarm_outputs.clear(); }), 140},
        {"alarm inputs empty", with({}, [](auto& i) { i.alarm_inputs.clear(); }), 140},
        {"audio empty", with({}, [](auto& i) { i.audio.clear(); }), 140},
        {"PoE power empty", with({}, [](auto& i) { i.poe_power.clear(); }), 140},
        {"serial number empty", with({}, [](auto& i) { i.serial.clear(); }), 140},
        {"a checked list without a selection",
         with({}, [](auto& i) { i.lists[kAngleRotationList].reset(); }), 140},
        {"an empty item that is not checked",
         with({kMainBoardName}, [](auto& i) { i.product_model.clear(); }), 0},
        // Main board prefix and last letter, as written (15 bytes).
        {"lower-case prefix", with({kMainBoardName}, [](auto& i) { i.main_board = "zq-dm-A"; }), 0},
        {"camera prefix", with({kMainBoardName}, [](auto& i) { i.main_board = "Zq-Cm-Q"; }), 0},
        {"small last letter", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-a"; }),
         151},
        {"prefix alone", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-"; }), 151},
        {"other prefix", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-XM-A"; }), 151},
        {"short", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM"; }), 151},
        {"digit last", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-A1"; }), 151},
        {"non-ASCII last", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-é"; }), 151},
        {"non-ASCII inside", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-板A"; }),
         0},
        {"15 bytes", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-ABCDEFGHZ"; }), 0},
        {"capital at 17, small at 15",
         with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-abcdefghiJK"; }), 151},
        {"capital at 15, small after",
         with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-ABCDEFGHIjk"; }), 0},
        {"a character cut whole at 15",
         with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-AAAAAAAA板"; }), 0},
        {"quotes", with({kMainBoardName}, [](auto& i) { i.main_board = "ZQ-DM-'\"A"; }), 0},
        {"bad main board not checked",
         with({kProductType}, [](auto& i) { i.main_board = "nonsense"; }), 0},
        // Function code: a leading unsigned decimal number.
        {"function code 12abc", with({kFunctionCode}, [](auto& i) { i.function_code = "12abc"; }),
         0},
        {"function code abc", with({kFunctionCode}, [](auto& i) { i.function_code = "abc"; }), 144},
        {"function code blank", with({kFunctionCode}, [](auto& i) { i.function_code = " "; }), 144},
        {"function code signed", with({kFunctionCode}, [](auto& i) { i.function_code = " +7"; }),
         0},
        {"function code negative", with({kFunctionCode}, [](auto& i) { i.function_code = "-5"; }),
         144},
        {"function code 2^64-1",
         with({kFunctionCode}, [](auto& i) { i.function_code = "18446744073709551615"; }), 0},
        {"function code 2^64",
         with({kFunctionCode}, [](auto& i) { i.function_code = "18446744073709551616"; }), 144},
        // Counts and PoE power: numbers their fields hold.
        {"alarm outputs 255", with({kAlarmOutputNum}, [](auto& i) { i.alarm_outputs = "255"; }), 0},
        {"alarm outputs 256", with({kAlarmOutputNum}, [](auto& i) { i.alarm_outputs = "256"; }),
         149},
        {"alarm inputs not a number", with({kAlarmInputNum}, [](auto& i) { i.alarm_inputs = "x"; }),
         149},
        {"audio negative", with({kAudioNum}, [](auto& i) { i.audio = "-1"; }), 149},
        {"audio 2 channels", with({kAudioNum}, [](auto& i) { i.audio = "2 channels"; }), 0},
        {"PoE power 65535", with({kPoePower}, [](auto& i) { i.poe_power = "65535"; }), 0},
        {"PoE power 65536", with({kPoePower}, [](auto& i) { i.poe_power = "65536"; }), 149},
        {"PoE power huge",
         with({kPoePower}, [](auto& i) { i.poe_power = "99999999999999999999999"; }), 149},
        {"a bad count not checked", with({kPoePower}, [](auto& i) { i.audio = "abc"; }), 0},
        // Board ID: 1 to 16 bytes.
        {"board ID 16", with({kBoardID}, [](auto& i) { i.board_id = "0123456789ABCDEF"; }), 0},
        {"board ID 17", with({kBoardID}, [](auto& i) { i.board_id = "0123456789ABCDEFG"; }), 122},
        {"board ID 5 Chinese (15 bytes)",
         with({kBoardID}, [](auto& i) { i.board_id = "板卡板卡板"; }), 0},
        {"board ID 6 Chinese (18 bytes)",
         with({kBoardID}, [](auto& i) { i.board_id = "板卡板卡板卡"; }), 122},
        // Key ID: "0x" and hexadecimal digits, at most 32 bits.
        {"key ID 0xFFFFFFFF",
         with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0xFFFFFFFF"; }), 0},
        {"key ID 0XaB", with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0XaB"; }), 0},
        {"key ID with leading zeros",
         with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0x00000000FF"; }), 0},
        {"key ID beyond 32 bits",
         with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0x100000000"; }), 123},
        {"key ID without 0x", with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "FFFF"; }),
         123},
        {"key ID 0x alone", with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0x"; }), 123},
        {"key ID not hex", with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0x1G"; }), 123},
        {"key ID leading space", with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = " 0x1"; }),
         123},
        {"key ID quote", with({kKeyID, kMainBoardName}, [](auto& i) { i.key_id = "0x1'"; }), 123},
        // The item of the board record that is not checked goes with it as it stands.
        {"key ID alone, long board ID field",
         with({kKeyID, kMainBoardName}, [](auto& i) { i.board_id = std::string(17, 'B'); }), 122},
        {"key ID alone, board ID with spaces",
         with({kKeyID, kMainBoardName},
              [](auto& i) { i.board_id = "  " + std::string(16, 'B') + " "; }),
         0},
        {"key ID alone, empty board ID",
         with({kKeyID, kMainBoardName}, [](auto& i) { i.board_id = ""; }), 0},
        {"board ID alone, key ID field not a key ID",
         with({kBoardID}, [](auto& i) { i.key_id = "hello"; }), 123},
        {"board ID alone, key ID beyond 32 bits",
         with({kBoardID}, [](auto& i) { i.key_id = "0x1FFFFFFFF"; }), 123},
        {"board ID alone, empty key ID", with({kBoardID}, [](auto& i) { i.key_id = "  "; }), 0},
        {"board ID alone, key ID with spaces",
         with({kBoardID}, [](auto& i) { i.key_id = " 0x12 "; }), 0},
        // The order of the refusals.
        {"empty before prefix",
         with({},
              [](auto& i) {
                  i.main_board = "x";
                  i.serial.clear();
              }),
         140},
        {"prefix before function code",
         with({},
              [](auto& i) {
                  i.main_board = "x";
                  i.function_code = "x";
              }),
         151},
        {"function code before counts",
         with({},
              [](auto& i) {
                  i.function_code = "x";
                  i.audio = "x";
              }),
         144},
        {"counts before board ID",
         with({},
              [](auto& i) {
                  i.audio = "x";
                  i.board_id = std::string(17, 'B');
              }),
         149},
        {"board ID before key ID",
         with({},
              [](auto& i) {
                  i.key_id = "x";
                  i.board_id = std::string(17, 'B');
              }),
         122},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CheckItems(c.items()), c.refusal);
    }
}

TEST(DeviceInfoRules, NumbersAndKeyIdsReadByTheirRules) {
    const std::pair<const char*, std::optional<uint64_t>> decimals[] = {
        {"12abc", 12},
        {"  \t42", 42},
        {"+7", 7},
        {"-0", 0},
        {"-1", std::nullopt},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"+", std::nullopt},
        {" - 1", std::nullopt},
        {"007", 7},
        {"1 2", 1},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"0x10", 0},
    };
    for (const auto& [text, value] : decimals) {
        SCOPED_TRACE(text);
        EXPECT_EQ(LeadingDecimal(text), value);
    }
    const std::pair<const char*, std::optional<uint32_t>> keys[] = {
        {"0xFFFFFFFF", 4294967295u}, {"0xffffffff", 4294967295u},   {"0X0", 0u},
        {"0x000000001", 1u},         {"0x100000000", std::nullopt}, {"0x", std::nullopt},
        {"x12", std::nullopt},       {"12", std::nullopt},          {"0x12 ", std::nullopt},
        {"0x-1", std::nullopt},      {"0x1234abcd", 0x1234abcdu},
    };
    for (const auto& [text, value] : keys) {
        SCOPED_TRACE(text);
        EXPECT_EQ(KeyIdValue(text), value);
    }
}

TEST(DeviceInfoRules, MainBoardFitsTheUnitsKind) {
    struct Case {
        const char* main_board;
        uint32_t kind;
        bool fits;
    };
    const Case cases[] = {
        {"ZQ-DM-A", 2, true}, {"zq-dm-A", 2, true},  {"ZQ-CM-A", 2, false}, {"ZQ-CM-A", 4, true},
        {"zQ-cM-A", 4, true}, {"ZQ-DM-A", 4, false}, {"ZQ-DM-A", 0, true},  {"ZQ-DM-A", 15, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.main_board) + " kind " + std::to_string(c.kind));
        EXPECT_EQ(MainBoardFitsKind(c.main_board, c.kind), c.fits);
    }
}

TEST(DeviceInfoRules, TheMaskHoldsExactlyTheCheckedItems) {
    // Every list with a value other than 0, so that a field outside the mask would show.
    DeviceInfoItems base = Valid();
    base.lists = {85, 3, 29, 4, 1, 2, 1, 1, 1, 0};
    DeviceInfoItems all = base;
    all.checked.fill(true);
    const ZQNetExtDeviceRecord full = BuildExtRecord(all);
    EXPECT_EQ(full.mask, 0x7FFFF9u);

    // One item alone: its bit, its field as in the full record, and zeros everywhere else.
    struct Single {
        OptionFlag flag;
        uint32_t bit;
        size_t offset;
        size_t size;
    };
    const Single singles[] = {
        {kMainBoardName, 0x1, 16, 16},       {kProductType, 0x8, 72, 64},
        {kDeviceType, 0x10, 136, 32},        {kDeviceName, 0x20, 168, 32},
        {kCustomType, 0x40, 200, 32},        {kFunctionCode, 0x80, 232, 8},
        {kFourDisk, 0x100, 240, 1},          {kLanguageConfig, 0x200, 241, 1},
        {kLanguage, 0x400, 242, 1},          {kSerialNum, 0x800, 243, 32},
        {kProductCode, 0x1000, 275, 1},      {kFormat, 0x2000, 276, 1},
        {kAngleRotation, 0x4000, 12, 4},     {kAlarmOutputNum, 0x8000, 280, 1},
        {kAlarmInputNum, 0x10000, 281, 1},   {kAudioNum, 0x20000, 282, 1},
        {kPoePower, 0x40000, 288, 2},        {kHddGroup, 0x80000, 279, 1},
        {kEsataenable, 0x100000, 278, 1},    {kMinFoaclLength, 0x200000, 285, 1},
        {kMaxFoaclLength, 0x400000, 286, 1},
    };
    uint32_t every_bit = 0;
    for (const Single& single : singles) {
        SCOPED_TRACE(single.bit);
        DeviceInfoItems items = base;
        items.checked.fill(false);
        items.checked[single.flag] = true;
        const ZQNetExtDeviceRecord got = BuildExtRecord(items);
        ZQNetExtDeviceRecord want{};
        want.size = 1032;
        want.mask = single.bit;
        std::memcpy(reinterpret_cast<char*>(&want) + single.offset,
                    reinterpret_cast<const char*>(&full) + single.offset, single.size);
        EXPECT_EQ(Bytes(&got, sizeof got), Bytes(&want, sizeof want));
        every_bit |= single.bit;
    }
    EXPECT_EQ(every_bit, full.mask);

    // The combinations the operator meets.
    struct Case {
        const char* name;
        std::vector<OptionFlag> flags;
        uint32_t mask;
    };
    const Case cases[] = {
        {"maximum focal length alone", {kMaxFoaclLength}, 0x400000},
        {"both focal lengths", {kMinFoaclLength, kMaxFoaclLength}, 0x600000},
        {"board ID alone", {kBoardID}, 0},
        {"key ID and board ID", {kKeyID, kBoardID}, 0},
        {"main board and video format", {kMainBoardName, kFormat}, 0x2001},
        {"main board and key ID", {kMainBoardName, kKeyID}, 0x1},
        {"device type does not count", {kMainBoardName, kHobDeviceType}, 0x1},
        {"the four items of a product model",
         {kProductType, kDeviceType, kDeviceName, kFunctionCode, kCustomType},
         0xF8},
        {"counts and PoE power", {kAlarmOutputNum, kAlarmInputNum, kAudioNum, kPoePower}, 0x78000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceInfoItems items = base;
        items.checked.fill(false);
        for (OptionFlag flag : c.flags)
            items.checked[flag] = true;
        EXPECT_EQ(BuildExtRecord(items).mask, c.mask);
    }
    const ZQNetExtDeviceRecord nothing = BuildExtRecord(Only({kKeyID, kBoardID}));
    EXPECT_EQ(nothing.size, 1032u);
    EXPECT_EQ(Bytes(&nothing.mask, sizeof nothing - 4), std::string(sizeof nothing - 4, '\0'));
}

TEST(DeviceInfoRules, TheExtendedRecordCarriesEachFieldAsTheOperatorGaveIt) {
    DeviceInfoItems items = Valid();
    items.main_board = "ZQ-DM-ABCDEFGHIjk";  // cut to 15 bytes
    items.product_model = std::string(70, 'P');
    items.device_model = "设备型号设备型号设备型号";  // 36 bytes: ten characters fit in 31
    items.device_name = "名'\"; --";
    items.custom_code = std::string(40, 'C');
    items.function_code = "12abc";
    items.serial = std::string(31, 'S') + "é";  // 33 bytes: the é does not fit whole
    items.alarm_outputs = "255";
    items.alarm_inputs = "7 inputs";
    items.audio = "0";
    items.poe_power = "65535";
    items.lists = {85, 3, 29, 4, 1, 2, 0, 1, 1, 0};
    const ZQNetExtDeviceRecord r = BuildExtRecord(items);
    EXPECT_EQ(Bytes(r.mainBoard, 16), std::string("ZQ-DM-ABCDEFGHI") + '\0');
    EXPECT_EQ(Bytes(r.productModel, 64), std::string(63, 'P') + '\0');
    EXPECT_EQ(std::string(r.deviceModel), "设备型号设备型号设备");
    EXPECT_EQ(std::string(r.deviceName), "名'\"; --");
    EXPECT_EQ(Bytes(r.customCode, 32), std::string(31, 'C') + '\0');
    EXPECT_EQ(Bytes(r.functionCode, 8), std::string("\x0c\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(Bytes(r.serial, 32), std::string(31, 'S') + '\0');
    EXPECT_EQ(r.alarmOutputs, 255);
    EXPECT_EQ(r.alarmInputs, 7);
    EXPECT_EQ(r.audioChannels, 0);
    EXPECT_EQ(r.poePower, 65535);
    EXPECT_EQ(r.fourDisk, 85);
    EXPECT_EQ(r.languageConfig, 3);
    EXPECT_EQ(r.language, 29);
    EXPECT_EQ(r.productCode, 4);
    EXPECT_EQ(r.format, 1);
    EXPECT_EQ(r.angleRotation, 2u);
    EXPECT_EQ(r.hddGroup, 0);
    EXPECT_EQ(r.esata, 1);
    EXPECT_EQ(r.minFocal, 1);
    EXPECT_EQ(r.maxFocal, 0);

    // A 32-byte serial number fills its field without a terminator; the largest function code.
    items.serial = std::string(32, '9');
    items.function_code = "18446744073709551615";
    const ZQNetExtDeviceRecord full = BuildExtRecord(items);
    EXPECT_EQ(Bytes(full.serial, 32), std::string(32, '9'));
    EXPECT_EQ(full.productCode, 4);  // the byte after the serial number is its own
    EXPECT_EQ(Bytes(full.functionCode, 8), std::string(8, '\xff'));
}

TEST(DeviceInfoRules, TheBoardRecordCarriesKeyIdBoardIdAndDeviceType) {
    struct Case {
        const char* name;
        std::vector<OptionFlag> flags;
        std::string key_id;
        std::string board_id;
        std::optional<int> index;
        uint32_t key;
        std::string board;  // 16 bytes
        uint8_t device_type;
    };
    const std::string b16 = "0123456789ABCDEF";
    const Case cases[] = {
        {"largest key ID",
         {kKeyID, kBoardID},
         "0xFFFFFFFF",
         "B1",
         0,
         4294967295u,
         std::string("B1") + std::string(14, '\0'),
         255},
        {"16-character board ID", {kKeyID, kBoardID}, "0x10", b16, 0, 16, b16, 255},
        {"device type by its flag",
         {kMainBoardName, kKeyID, kHobDeviceType},
         "0x1",
         "",
         3,
         1,
         std::string(16, '\0'),
         3},
        {"device type without an index",
         {kMainBoardName, kKeyID, kHobDeviceType},
         "0x1",
         "",
         std::nullopt,
         1,
         std::string(16, '\0'),
         255},
        {"key ID without board ID: the board ID field as it stands",
         {kMainBoardName, kKeyID},
         "0x2",
         "  BRD ",
         0,
         2,
         std::string("BRD") + std::string(13, '\0'),
         255},
        {"board ID without key ID: an empty key ID field is 0",
         {kBoardID},
         "",
         "B",
         0,
         0,
         std::string("B") + std::string(15, '\0'),
         255},
        {"board ID without key ID: the key ID field as it stands",
         {kBoardID},
         " 0xab ",
         "B",
         0,
         0xab,
         std::string("B") + std::string(15, '\0'),
         255},
        {"Chinese board ID",
         {kBoardID},
         "",
         "板卡板卡板",
         0,
         0,
         std::string("板卡板卡板") + '\0',
         255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceInfoItems items = Valid();
        items.checked.fill(false);
        for (OptionFlag flag : c.flags)
            items.checked[flag] = true;
        items.key_id = c.key_id;
        items.board_id = c.board_id;
        ASSERT_EQ(CheckItems(items), 0);
        const ZQNetBoardRecord r = BuildBoardRecord(items, c.index);
        EXPECT_EQ(r.size, 32u);
        EXPECT_EQ(r.keyId, c.key);
        EXPECT_EQ(Bytes(r.boardId, 16), c.board);
        EXPECT_EQ(r.deviceType, c.device_type);
        EXPECT_EQ(Bytes(r.reserved, 7), std::string(7, '\0'));
    }
}

TEST(DeviceInfoRules, AQueryShowsEveryFieldInItsFormat) {
    ZQNetExtDeviceRecord ext{};
    std::memcpy(ext.mainBoard, "ZQ-CM-0123456789", 16);  // no terminator
    std::strcpy(ext.productModel, "IPC-D400-AF");
    std::strcpy(ext.deviceModel, "网络摄像机");
    std::strcpy(ext.deviceName, "球机 \"4MP\"");
    std::strcpy(ext.customCode, "ML-02");
    std::memset(ext.functionCode, 0xff, 8);
    std::memset(ext.serial, 'S', 32);
    ext.productCode = 3;
    ext.fourDisk = 170;
    ext.languageConfig = 8;
    ext.language = 29;
    ext.format = 1;
    ext.angleRotation = 2;
    ext.hddGroup = 1;
    ext.esata = 0;
    ext.alarmOutputs = 255;
    ext.alarmInputs = 16;
    ext.audioChannels = 2;
    ext.minFocal = 1;
    ext.maxFocal = 7;
    ext.poePower = 65535;
    ZQNetBoardRecord board{};
    board.keyId = 0xDEADBEEF;
    std::memcpy(board.boardId, "0123456789abcdef", 16);
    ZQNetFocusRecord focus{};
    std::strcpy(focus.autofocusVersion, "AF-1.3");
    const DeviceInfoItems items = ItemsOfRecords(ext, board, focus);
    EXPECT_EQ(items.main_board, "ZQ-CM-0123456789");
    EXPECT_EQ(items.product_model, "IPC-D400-AF");
    EXPECT_EQ(items.device_model, "网络摄像机");
    EXPECT_EQ(items.device_name, "球机 \"4MP\"");
    EXPECT_EQ(items.custom_code, "ML-02");
    EXPECT_EQ(items.function_code, "18446744073709551615");
    EXPECT_EQ(items.serial, std::string(32, 'S'));
    EXPECT_EQ(items.key_id, "0xdeadbeef");
    EXPECT_EQ(items.board_id, "0123456789abcdef");
    EXPECT_EQ(items.alarm_outputs, "255");
    EXPECT_EQ(items.alarm_inputs, "16");
    EXPECT_EQ(items.audio, "2");
    EXPECT_EQ(items.poe_power, "65535");
    EXPECT_EQ(items.autofocus_version, "AF-1.3");
    const std::array<std::optional<uint32_t>, kFixedListCount> lists = {170, 8, 29, 3, 1,
                                                                        2,   1, 0,  1, 7};
    EXPECT_EQ(items.lists, lists);
    for (bool flag : items.checked)
        EXPECT_FALSE(flag);

    board.keyId = 0;
    EXPECT_EQ(ItemsOfRecords(ext, board, focus).key_id, "0x0");

    // What a Set builds, a Query shows again.
    DeviceInfoItems written = Valid();
    written.key_id = "0xfe";
    const DeviceInfoItems read =
        ItemsOfRecords(BuildExtRecord(written), BuildBoardRecord(written, 0), ZQNetFocusRecord{});
    EXPECT_EQ(read.main_board, written.main_board);
    EXPECT_EQ(read.device_name, written.device_name);
    EXPECT_EQ(read.key_id, written.key_id);
    EXPECT_EQ(read.board_id, written.board_id);
    EXPECT_EQ(read.serial, written.serial);
    EXPECT_EQ(read.poe_power, written.poe_power);
    EXPECT_EQ(read.lists, written.lists);
}

TEST(DeviceInfoRules, ListsSelectTheEntryOfTheUnitsValue) {
    struct Case {
        FixedList list;
        uint32_t value;
        std::optional<int> entry;
    };
    const Case cases[] = {
        {kFourDiskList, 255, 0},
        {kFourDiskList, 85, 1},
        {kFourDiskList, 170, 2},
        {kFourDiskList, 7, 0},
        {kLanguageConfigList, 8, 8},
        {kLanguageConfigList, 9, std::nullopt},
        {kLanguageList, 0, 0},
        {kLanguageList, 29, 29},
        {kLanguageList, 30, std::nullopt},
        {kProductCodeList, 255, 0},
        {kProductCodeList, 0, 1},
        {kProductCodeList, 4, 5},
        {kProductCodeList, 5, std::nullopt},
        {kFormatList, 1, 1},
        {kFormatList, 2, std::nullopt},
        {kAngleRotationList, 2, 1},
        {kAngleRotationList, 1, std::nullopt},
        {kHddGroupList, 1, 0},
        {kHddGroupList, 0, 1},
        {kEsataList, 0, 1},
        {kMinFocalList, 1, 1},
        {kMaxFocalList, 0, 0},
        {kMaxFocalList, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.list) + ": " + std::to_string(c.value));
        EXPECT_EQ(EntryOfValue(c.list, c.value), c.entry);
    }
    // The entries as shipped: texts by language id, or their own.
    EXPECT_EQ(ListEntries(kLanguageList).size(), 30u);
    EXPECT_EQ(ListEntries(kLanguageList)[29].text_id, 215);
    EXPECT_STREQ(ListEntries(kProductCodeList)[4].text, "Code A SD");
    EXPECT_EQ(ListEntries(kProductCodeList)[4].text_id, -1);
    EXPECT_STREQ(ListEntries(kMinFocalList)[1].text, "4mm");
    EXPECT_EQ(ListFlag(kEsataList), kEsataenable);
    EXPECT_EQ(ListFlag(kMaxFocalList), kMaxFoaclLength);
}

TEST(DeviceInfoRules, DeviceTypeIndexAndOptionRecords) {
    const std::pair<uint8_t, std::optional<int>> indexes[] = {
        {255, 0}, {0, 0}, {1, 1}, {14, 14}, {15, std::nullopt}, {254, std::nullopt}};
    for (const auto& [value, index] : indexes) {
        ZQNetBoardRecord board{};
        board.deviceType = value;
        EXPECT_EQ(DeviceTypeIndex(board), index) << int{value};
    }

    const config::DeviceOptionMap options = {
        {"IPC",
         {{"IPC-FE500", "IPCFE5", "from IPC", "700", "EN"}, {"IPC-B200", "B", "b", "1", "EN"}}},
        {"Fisheye", {{"IPC-FE500", "IPCFE5", "from Fisheye", "640", "CN"}}},
    };
    // Sets in map order ("Fisheye" before "IPC"): the last record of the model wins.
    ASSERT_NE(OptionRecordOf(options, "IPC-FE500"), nullptr);
    EXPECT_EQ(OptionRecordOf(options, "IPC-FE500")->device_name, "from IPC");
    EXPECT_EQ(OptionRecordOf(options, "IPC-B200")->function_code, "1");
    EXPECT_EQ(OptionRecordOf(options, "ipc-b200"), nullptr);
    EXPECT_EQ(OptionRecordOf(options, ""), nullptr);
}

}  // namespace
}  // namespace tabs

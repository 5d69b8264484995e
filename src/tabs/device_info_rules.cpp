#include "tabs/device_info_rules.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "tabs/mac_rules.h"

namespace tabs {
namespace {

constexpr ListEntry kFourDiskEntries[] = {{172, "", 255}, {173, "", 85}, {174, "", 170}};
constexpr ListEntry kLanguageConfigEntries[] = {{216, "", 0}, {217, "", 1}, {225, "", 2},
                                                {226, "", 3}, {244, "", 4}, {265, "", 5},
                                                {278, "", 6}, {280, "", 7}, {299, "", 8}};
// Language texts 186 to 215 name the languages 0 to 29.
constexpr std::array<ListEntry, 30> MakeLanguageEntries() {
    std::array<ListEntry, 30> entries{};
    for (uint32_t n = 0; n < entries.size(); ++n)
        entries[n] = {186 + static_cast<int>(n), "", n};
    return entries;
}
constexpr std::array<ListEntry, 30> kLanguageEntries = MakeLanguageEntries();
constexpr ListEntry kProductCodeEntries[] = {{-1, "Normal", 255},  {-1, "Code A", 0},
                                             {-1, "Code B", 1},    {-1, "SD", 2},
                                             {-1, "Code A SD", 3}, {-1, "Code B SD", 4}};
constexpr ListEntry kFormatEntries[] = {{-1, "P", 0}, {-1, "N", 1}};
constexpr ListEntry kAngleRotationEntries[] = {{266, "", 0}, {268, "", 2}};
constexpr ListEntry kSwitchEntries[] = {{314, "", 1}, {315, "", 0}};
constexpr ListEntry kMinFocalEntries[] = {{298, "", 0}, {-1, "4mm", 1}};
constexpr ListEntry kMaxFocalEntries[] = {{298, "", 0}};

// Each list's entries, flag, and field and mask bit in the extended record.
struct ListItem {
    std::span<const ListEntry> entries;
    OptionFlag flag;
    uint32_t bit;
    size_t offset;
    size_t size;  // bytes of the value: 1, or 4 for the angle rotation
};
const ListItem kListItems[kFixedListCount] = {
    {kFourDiskEntries, kFourDisk, ZQNET_EXT_FOUR_DISK, offsetof(ZQNetExtDeviceRecord, fourDisk), 1},
    {kLanguageConfigEntries, kLanguageConfig, ZQNET_EXT_LANGUAGE_CONFIG,
     offsetof(ZQNetExtDeviceRecord, languageConfig), 1},
    {kLanguageEntries, kLanguage, ZQNET_EXT_LANGUAGE, offsetof(ZQNetExtDeviceRecord, language), 1},
    {kProductCodeEntries, kProductCode, ZQNET_EXT_PRODUCT_CODE,
     offsetof(ZQNetExtDeviceRecord, productCode), 1},
    {kFormatEntries, kFormat, ZQNET_EXT_FORMAT, offsetof(ZQNetExtDeviceRecord, format), 1},
    {kAngleRotationEntries, kAngleRotation, ZQNET_EXT_ANGLE_ROTATION,
     offsetof(ZQNetExtDeviceRecord, angleRotation), 4},
    {kSwitchEntries, kHddGroup, ZQNET_EXT_HDD_GROUP, offsetof(ZQNetExtDeviceRecord, hddGroup), 1},
    {kSwitchEntries, kEsataenable, ZQNET_EXT_ESATA, offsetof(ZQNetExtDeviceRecord, esata), 1},
    {kMinFocalEntries, kMinFoaclLength, ZQNET_EXT_MIN_FOCAL,
     offsetof(ZQNetExtDeviceRecord, minFocal), 1},
    {kMaxFocalEntries, kMaxFoaclLength, ZQNET_EXT_MAX_FOCAL,
     offsetof(ZQNetExtDeviceRecord, maxFocal), 1},
};

// The text items of the extended record.
enum class TextKind { kText, kFullText, kNumber };
struct TextItem {
    std::string DeviceInfoItems::*text;
    OptionFlag flag;
    uint32_t bit;
    size_t offset;
    size_t size;
    TextKind kind;  // kText: terminated within the field; kFullText: may fill it; kNumber: LE
};
const TextItem kTextItems[] = {
    {&DeviceInfoItems::main_board, kMainBoardName, ZQNET_EXT_MAIN_BOARD,
     offsetof(ZQNetExtDeviceRecord, mainBoard), 16, TextKind::kText},
    {&DeviceInfoItems::product_model, kProductType, ZQNET_EXT_PRODUCT_MODEL,
     offsetof(ZQNetExtDeviceRecord, productModel), 64, TextKind::kText},
    {&DeviceInfoItems::device_model, kDeviceType, ZQNET_EXT_DEVICE_MODEL,
     offsetof(ZQNetExtDeviceRecord, deviceModel), 32, TextKind::kText},
    {&DeviceInfoItems::device_name, kDeviceName, ZQNET_EXT_DEVICE_NAME,
     offsetof(ZQNetExtDeviceRecord, deviceName), 32, TextKind::kText},
    {&DeviceInfoItems::custom_code, kCustomType, ZQNET_EXT_CUSTOM_CODE,
     offsetof(ZQNetExtDeviceRecord, customCode), 32, TextKind::kText},
    {&DeviceInfoItems::serial, kSerialNum, ZQNET_EXT_SERIAL, offsetof(ZQNetExtDeviceRecord, serial),
     32, TextKind::kFullText},
    {&DeviceInfoItems::function_code, kFunctionCode, ZQNET_EXT_FUNCTION_CODE,
     offsetof(ZQNetExtDeviceRecord, functionCode), 8, TextKind::kNumber},
    {&DeviceInfoItems::alarm_outputs, kAlarmOutputNum, ZQNET_EXT_ALARM_OUTPUT,
     offsetof(ZQNetExtDeviceRecord, alarmOutputs), 1, TextKind::kNumber},
    {&DeviceInfoItems::alarm_inputs, kAlarmInputNum, ZQNET_EXT_ALARM_INPUT,
     offsetof(ZQNetExtDeviceRecord, alarmInputs), 1, TextKind::kNumber},
    {&DeviceInfoItems::audio, kAudioNum, ZQNET_EXT_AUDIO,
     offsetof(ZQNetExtDeviceRecord, audioChannels), 1, TextKind::kNumber},
    {&DeviceInfoItems::poe_power, kPoePower, ZQNET_EXT_POE_POWER,
     offsetof(ZQNetExtDeviceRecord, poePower), 2, TextKind::kNumber},
};

// Items that count as something to write when the main board is not checked.
constexpr OptionFlag kWritableAlone[] = {
    kProductType,   kDeviceType,    kDeviceName,     kFunctionCode,   kCustomType,
    kFourDisk,      kLanguage,      kLanguageConfig, kSerialNum,      kAlarmOutputNum,
    kAlarmInputNum, kAudioNum,      kPoePower,       kHddGroup,       kEsataenable,
    kProductCode,   kAngleRotation, kMinFoaclLength, kMaxFoaclLength, kBoardID};

// Text items that must not be empty when checked.
constexpr std::pair<std::string DeviceInfoItems::*, OptionFlag> kRequiredTexts[] = {
    {&DeviceInfoItems::product_model, kProductType},
    {&DeviceInfoItems::device_model, kDeviceType},
    {&DeviceInfoItems::device_name, kDeviceName},
    {&DeviceInfoItems::function_code, kFunctionCode},
    {&DeviceInfoItems::custom_code, kCustomType},
    {&DeviceInfoItems::key_id, kKeyID},
    {&DeviceInfoItems::board_id, kBoardID},
    {&DeviceInfoItems::alarm_outputs, kAlarmOutputNum},
    {&DeviceInfoItems::alarm_inputs, kAlarmInputNum},
    {&DeviceInfoItems::audio, kAudioNum},
    {&DeviceInfoItems::poe_power, kPoePower},
    {&DeviceInfoItems::serial, kSerialNum},
};

// The counts and the PoE power with the largest value each field holds.
constexpr std::pair<std::string DeviceInfoItems::*, OptionFlag> kCounts[] = {
    {&DeviceInfoItems::alarm_outputs, kAlarmOutputNum},
    {&DeviceInfoItems::alarm_inputs, kAlarmInputNum},
    {&DeviceInfoItems::audio, kAudioNum},
};
constexpr uint64_t kMaxCount = 255;
constexpr uint64_t kMaxPoePower = 65535;
constexpr size_t kMainBoardBytes = 15;
constexpr size_t kBoardIdBytes = sizeof(ZQNetBoardRecord::boardId);

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// `text` cut to at most `bytes` bytes, never in the middle of a character.
std::string Cut(std::string_view text, size_t bytes) {
    std::string field(bytes + 1, '\0');
    CopyTextField(text, field.data(), field.size());
    return FieldText(field.data(), field.size());
}

bool HasPrefix(std::string_view text, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.data(), prefix, n) == 0;
}

void PutLittleEndian(uint8_t* to, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i)
        to[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittleEndian(const uint8_t* from, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value |= static_cast<uint64_t>(from[i]) << (8 * i);
    return value;
}

}  // namespace

std::span<const ListEntry> ListEntries(FixedList list) {
    return kListItems[list].entries;
}

OptionFlag ListFlag(FixedList list) {
    return kListItems[list].flag;
}

std::optional<int> EntryOfValue(FixedList list, uint32_t value) {
    const std::span<const ListEntry> entries = ListEntries(list);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].value == value)
            return static_cast<int>(i);
    }
    if (list == kFourDiskList)
        return 0;
    return std::nullopt;
}

std::optional<uint64_t> LeadingDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const size_t first_digit = i;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (i == first_digit || (negative && value != 0))
        return std::nullopt;
    return value;
}

std::optional<uint32_t> KeyIdValue(std::string_view text) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    const std::string_view digits = text.substr(2);
    // from_chars alone would take a sign or stop early; every character must be a digit.
    if (!std::all_of(digits.begin(), digits.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
        return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (error != std::errc{} || end != digits.data() + digits.size())
        return std::nullopt;  // beyond 32 bits
    return value;
}

bool MainBoardNameOk(std::string_view main_board) {
    const std::string written = Cut(main_board, kMainBoardBytes);
    if (!HasPrefix(written, "ZQ-DM-") && !HasPrefix(written, "ZQ-CM-"))
        return false;
    const char last = written.back();
    return last >= 'A' && last <= 'Z';
}

bool MainBoardFitsKind(std::string_view main_board, uint32_t kind) {
    return HasPrefix(main_board, kind == 4 ? "ZQ-CM-" : "ZQ-DM-");
}

int CheckItems(const DeviceInfoItems& items) {
    const auto& checked = items.checked;
    if (checked[kMainBoardName] && items.main_board.empty())
        return kNothingToWrite;
    if (!checked[kMainBoardName]) {
        bool any = false;
        for (OptionFlag flag : kWritableAlone)
            any = any || checked[flag];
        if (!any)
            return kNothingToWrite;
    }
    for (const auto& [text, flag] : kRequiredTexts) {
        if (checked[flag] && (items.*text).empty())
            return kNothingToWrite;
    }
    for (int list = 0; list < kFixedListCount; ++list) {
        if (checked[kListItems[list].flag] && !items.lists[list].has_value())
            return kNothingToWrite;
    }
    if (checked[kMainBoardName] && !MainBoardNameOk(items.main_board))
        return kBadMainBoard;
    if (checked[kFunctionCode] && !LeadingDecimal(items.function_code))
        return kBadFunctionCode;
    for (const auto& [text, flag] : kCounts) {
        if (checked[flag] && LeadingDecimal(items.*text).value_or(kMaxCount + 1) > kMaxCount)
            return kBadCount;
    }
    if (checked[kPoePower] &&
        LeadingDecimal(items.poe_power).value_or(kMaxPoePower + 1) > kMaxPoePower)
        return kBadCount;
    // The board record is written whole: the item that is not checked goes with it as it stands.
    if (checked[kBoardID] && (items.board_id.empty() || items.board_id.size() > kBoardIdBytes))
        return kBadBoardId;
    if (checked[kKeyID] && !checked[kBoardID] && Trimmed(items.board_id).size() > kBoardIdBytes)
        return kBadBoardId;
    if (checked[kKeyID] && !KeyIdValue(items.key_id))
        return kBadKeyId;
    if (checked[kBoardID] && !checked[kKeyID]) {
        const std::string_view key_id = Trimmed(items.key_id);
        if (!key_id.empty() && !KeyIdValue(key_id))
            return kBadKeyId;
    }
    return 0;
}

ZQNetExtDeviceRecord BuildExtRecord(const DeviceInfoItems& items) {
    ZQNetExtDeviceRecord record{};
    record.size = sizeof record;
    auto* bytes = reinterpret_cast<uint8_t*>(&record);
    for (const TextItem& item : kTextItems) {
        if (!items.checked[item.flag])
            continue;
        record.mask |= item.bit;
        const std::string& text = items.*item.text;
        uint8_t* field = bytes + item.offset;
        switch (item.kind) {
            case TextKind::kText:
                CopyTextField(text, reinterpret_cast<char*>(field), item.size);
                break;
            case TextKind::kFullText: {
                const std::string cut = Cut(text, item.size);
                std::memcpy(field, cut.data(), cut.size());
                break;
            }
            case TextKind::kNumber:
                PutLittleEndian(field, LeadingDecimal(text).value_or(0), item.size);
                break;
        }
    }
    for (int list = 0; list < kFixedListCount; ++list) {
        const ListItem& item = kListItems[list];
        if (items.checked[item.flag]) {
            record.mask |= item.bit;
            PutLittleEndian(bytes + item.offset, items.lists[list].value_or(0), item.size);
        }
    }
    return record;
}

ZQNetBoardRecord BuildBoardRecord(const DeviceInfoItems& items,
                                  std::optional<int> device_type_index) {
    ZQNetBoardRecord record{};
    record.size = sizeof record;
    record.keyId = KeyIdValue(Trimmed(items.key_id)).value_or(0);
    const std::string board_id = Cut(Trimmed(items.board_id), kBoardIdBytes);
    std::memcpy(record.boardId, board_id.data(), board_id.size());
    record.deviceType = items.checked[kHobDeviceType] && device_type_index
                            ? static_cast<uint8_t>(*device_type_index)
                            : 255;
    return record;
}

DeviceInfoItems ItemsOfRecords(const ZQNetExtDeviceRecord& ext, const ZQNetBoardRecord& board,
                               const ZQNetFocusRecord& focus) {
    DeviceInfoItems items;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ext);
    for (const TextItem& item : kTextItems) {
        const uint8_t* field = bytes + item.offset;
        items.*item.text = item.kind == TextKind::kNumber
                               ? std::to_string(GetLittleEndian(field, item.size))
                               : FieldText(reinterpret_cast<const char*>(field), item.size);
    }
    for (int list = 0; list < kFixedListCount; ++list) {
        const ListItem& item = kListItems[list];
        items.lists[list] = static_cast<uint32_t>(GetLittleEndian(bytes + item.offset, item.size));
    }
    char key_id[16];
    std::snprintf(key_id, sizeof key_id, "0x%x", board.keyId);
    items.key_id = key_id;
    items.board_id = FieldText(board.boardId, sizeof board.boardId);
    items.autofocus_version = FieldText(focus.autofocusVersion, sizeof focus.autofocusVersion);
    return items;
}

std::optional<int> DeviceTypeIndex(const ZQNetBoardRecord& board) {
    if (board.deviceType == 255)
        return 0;
    if (board.deviceType <= 14)
        return board.deviceType;
    return std::nullopt;
}

const config::DeviceOptionRecord* OptionRecordOf(const config::DeviceOptionMap& options,
                                                 std::string_view product_model) {
    const config::DeviceOptionRecord* found = nullptr;
    for (const auto& [name, records] : options) {
        for (const config::DeviceOptionRecord& record : records) {
            if (record.product_type == product_model)
                found = &record;
        }
    }
    return found;
}

}  // namespace tabs

// The rules of the device information tab, without a window: its fixed lists, the checks a Set
// makes before it opens a session, the extended device record (code 700) and the board record
// (code 582) a Set writes, and what a Query shows of the records it read.
//
// Texts are in the program's encoding, UTF-8 (the workstation's code page on this platform, so
// the device model and name need no conversion on their way to and from the unit). A text is
// cut to its field by bytes and never in the middle of a character.
//
// Pure functions and constant tables; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config/app_settings.h"
#include "config/device_options.h"
#include "device/ZQNet.h"

namespace tabs {

// The lists of fixed entries, in the order of the items.
enum FixedList : int {
    kFourDiskList,
    kLanguageConfigList,
    kLanguageList,
    kProductCodeList,
    kFormatList,
    kAngleRotationList,
    kHddGroupList,
    kEsataList,
    kMinFocalList,
    kMaxFocalList,
    kFixedListCount
};

// One entry of a fixed list: its shown text (language text `text_id`, or `text` when text_id is
// negative) and the value the unit stores for it.
struct ListEntry {
    int text_id;
    const char* text;
    uint32_t value;
};

// The entries of a list, in the order shown; the first one is selected at start.
std::span<const ListEntry> ListEntries(FixedList list);

// The option flag (check box) of a list's item.
OptionFlag ListFlag(FixedList list);

// The entry a Query selects for the value the unit holds: the entry with that value, or none
// when the list has no such entry. The four-disks list selects its first entry for any value
// but 85 and 170.
std::optional<int> EntryOfValue(FixedList list, uint32_t value);

// The items as the tab holds them: the option flags (one per check box, and the device-type flag
// that has none), the texts of the text fields, and the value of each list's selected entry
// (none when nothing is selected).
struct DeviceInfoItems {
    std::array<bool, kOptionFlagCount> checked{};
    std::string main_board;
    std::string product_model;
    std::string device_model;
    std::string device_name;
    std::string function_code;
    std::string custom_code;  // user and language code
    std::string key_id;
    std::string board_id;
    std::string serial;
    std::string alarm_outputs;
    std::string alarm_inputs;
    std::string audio;
    std::string poe_power;
    std::string autofocus_version;  // shown only, never written
    std::array<std::optional<uint32_t>, kFixedListCount> lists{};
};

// Message ids of the refusals before a session.
inline constexpr int kNothingToWrite = 140;  // nothing to write, or a checked item is empty
inline constexpr int kBadMainBoard = 151;
inline constexpr int kBadFunctionCode = 144;
inline constexpr int kBadCount = 149;  // a count or the PoE power is not a number in range
inline constexpr int kBadBoardId = 122;
inline constexpr int kBadKeyId = 123;

// The checks a Set makes before it opens a session, in this order; 0 when the items may be
// written, otherwise the message to show:
//  140  the main board is checked with an empty text; or it is not checked and no other item
//       but key ID, video format and device type is; or a checked text item (product model to
//       serial number, the counts, PoE power) is empty, or a checked list has no selection;
//  151  a checked main board that, as written (cut to 15 bytes), does not start with "ZQ-DM-"
//       or "ZQ-CM-" (any case) or does not end in a capital letter A to Z;
//  144  a checked function code that does not start with an unsigned 64-bit decimal number
//       (LeadingDecimal);
//  149  a checked alarm output, alarm input or audio count that is not a number from 0 to 255,
//       or a checked PoE power that is not a number from 0 to 65535 (by LeadingDecimal);
//  122  a checked board ID of no or more than 16 bytes; or, when only the key ID is checked, a
//       board ID field (trimmed) of more than 16 bytes, which the board record carries too;
//  123  a checked key ID that is not KeyIdValue; or, when only the board ID is checked, a key ID
//       field that is neither empty (trimmed) nor a KeyIdValue, which the board record carries.
// The serial number's record-store check is the operation's (it needs the record store).
int CheckItems(const DeviceInfoItems& items);

// The number a text starts with: optional blanks, an optional sign, decimal digits; anything
// after them is ignored. None when no digit follows, the number is negative (other than -0) or
// does not fit in 64 bits.
std::optional<uint64_t> LeadingDecimal(std::string_view text);

// A key ID: "0x" or "0X", then 1 or more hexadecimal digits (either case) with a value of at
// most 0xFFFFFFFF (leading zeros allowed), surrounding spaces ignored. None otherwise.
std::optional<uint32_t> KeyIdValue(std::string_view text);

// The main board rule: the text as written (cut to 15 bytes) starts with "ZQ-DM-" or "ZQ-CM-"
// without regard to case and ends in a capital letter A to Z.
bool MainBoardNameOk(std::string_view main_board);

// The rule after login: a kind-4 unit takes "ZQ-CM-", every other kind "ZQ-DM-" (any case).
bool MainBoardFitsKind(std::string_view main_board, uint32_t kind);

// The extended device record of a Set for items that passed CheckItems: zeros, size 1032, and
// for every checked item its field and mask bit. Texts are cut to their fields (main board 15
// bytes, product model 63, device model, device name and user and language code 31, serial
// number 32 without terminator); numbers are the values of their leading decimal numbers; a
// list gives its selected entry's value.
ZQNetExtDeviceRecord BuildExtRecord(const DeviceInfoItems& items);

// The board record of a Set (written when key ID or board ID is checked), for items that passed
// CheckItems: size 32, the key ID field's value (0 when empty), the trimmed board ID (up to 16
// bytes, no terminator when full), and the device type: `device_type_index` when the device-type
// flag is set and an index exists, else 255.
ZQNetBoardRecord BuildBoardRecord(const DeviceInfoItems& items,
                                  std::optional<int> device_type_index);

// What a Query shows of the records it read: every text, "%I64u" of the function code, "0x%x"
// of the key ID, "%d" of the counts and the PoE power, the autofocus version of the focus record,
// and each list's value as the record holds it. The flags are all false.
DeviceInfoItems ItemsOfRecords(const ZQNetExtDeviceRecord& ext, const ZQNetBoardRecord& board,
                               const ZQNetFocusRecord& focus);

// The device-type index a Query takes from the board record: 255 reads as 0, 0 to 14 as
// themselves, anything else as none.
std::optional<int> DeviceTypeIndex(const ZQNetBoardRecord& board);

// The option record a product-model choice takes its values from: of every record of every set
// (sets in map order, records in order) whose product model equals `product_model`, the last;
// nullptr when there is none.
const config::DeviceOptionRecord* OptionRecordOf(const config::DeviceOptionMap& options,
                                                 std::string_view product_model);

}  // namespace tabs

// The MAC address rules of the MAC address tab, without a window: reading a scanned MAC text,
// the two text forms, the multicast bit, the identity server's content texts and the meaning
// of its answers. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tabs {

// Outcome of reading a MAC text.
enum class MacParse {
    kOk,       // six bytes read, not all zero
    kBadText,  // wrong length or a pair that is not two hexadecimal digits (message 55)
    kZero,     // six bytes read, all zero (no message of its own)
};

// Reads a MAC text into `out` by its length: 17 characters (pairs at 0, 3, 6, 9, 12, 15, any
// separators), 12 (pairs at 0, 2, ..., 10) or 22 (pairs at 0, 4, ..., 20); digits in either case.
// Bytes are stored as they are read: on kBadText the bytes before the bad pair are already in
// `out`, the others are unchanged.
MacParse ParseMacText(std::string_view text, uint8_t out[6]);

// "%02X-%02X-%02X-%02X-%02X-%02X" and "%02X:%02X:%02X:%02X:%02X:%02X".
std::string MacDashText(const uint8_t mac[6]);
std::string MacColonText(const uint8_t mac[6]);

bool IsMulticastMac(const uint8_t mac[6]);  // lowest bit of the first byte
bool IsZeroMac(const uint8_t mac[6]);

// What a MAC install reports: content is the Ethernet colon text, or "ETH+WIFI" when the Wi-Fi
// address is not zero; content2 is the Wi-Fi colon text then, else absent.
struct MacContent {
    std::string content;
    std::optional<std::string> content2;
};
MacContent MakeMacContent(const uint8_t ethernet[6], const uint8_t wifi[6]);

// The language text id of an identity report's result: 48 for "" (accepted); for a refusal
// (result names compared without regard to case) 162 "net_error", 163 "rsp_msg_error",
// 164 "server_busy", 165 "db_error", 166 "order_name_not_exist", then the tab's own ids for
// "content_not_exist" and "installed"; 49 for anything else.
int ReportTextId(std::string_view result, int content_not_exist_id, int installed_id);
// The MAC tab's: 169 and 170.
inline int MacReportTextId(std::string_view result) {
    return ReportTextId(result, 169, 170);
}

// Copies `text` into a zero-terminated field of `size` bytes: at most size - 1 bytes, never
// splitting a UTF-8 character, the rest of the field zero.
void CopyTextField(std::string_view text, char* field, size_t size);
// The same, but the text may fill the whole field (no terminating zero when it has `size` bytes
// or more).
void FillTextField(std::string_view text, char* field, size_t size);

// The text of a zero-terminated field of `size` bytes (a field without a terminator gives all of
// its bytes).
std::string FieldText(const char* field, size_t size);

}  // namespace tabs

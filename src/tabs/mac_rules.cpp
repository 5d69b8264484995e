#include "tabs/mac_rules.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "identity/install.h"

namespace tabs {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Format(const char* format, const uint8_t m[6]) {
    char text[18];
    std::snprintf(text, sizeof text, format, m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

}  // namespace

MacParse ParseMacText(std::string_view text, uint8_t out[6]) {
    size_t step = 0;
    switch (text.size()) {
        case 17:
            step = 3;
            break;
        case 12:
            step = 2;
            break;
        case 22:
            step = 4;
            break;
        default:
            return MacParse::kBadText;
    }
    for (size_t i = 0; i < 6; ++i) {
        const int high = HexDigit(text[i * step]);
        const int low = HexDigit(text[i * step + 1]);
        if (high < 0 || low < 0)
            return MacParse::kBadText;
        out[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return IsZeroMac(out) ? MacParse::kZero : MacParse::kOk;
}

std::string MacDashText(const uint8_t mac[6]) {
    return Format("%02X-%02X-%02X-%02X-%02X-%02X", mac);
}

std::string MacColonText(const uint8_t mac[6]) {
    return Format("%02X:%02X:%02X:%02X:%02X:%02X", mac);
}

bool IsMulticastMac(const uint8_t mac[6]) {
    return (mac[0] & 1) != 0;
}

bool IsZeroMac(const uint8_t mac[6]) {
    return std::all_of(mac, mac + 6, [](uint8_t b) { return b == 0; });
}

MacContent MakeMacContent(const uint8_t ethernet[6], const uint8_t wifi[6]) {
    MacContent c;
    c.content = MacColonText(ethernet);
    if (!IsZeroMac(wifi)) {
        const std::string wifi_text = MacColonText(wifi);
        c.content += "+" + wifi_text;
        c.content2 = wifi_text;
    }
    return c;
}

int ReportTextId(std::string_view result, int content_not_exist_id, int installed_id) {
    if (result.empty())
        return 48;
    struct Refusal {
        const char* name;
        int text_id;
    };
    const Refusal kRefusals[] = {
        {identity::kNetError, 162},           {identity::kRspMsgError, 163},
        {identity::kServerBusy, 164},         {identity::kDbError, 165},
        {identity::kOrderNameNotExist, 166},  {identity::kContentNotExist, content_not_exist_id},
        {identity::kInstalled, installed_id},
    };
    const std::string name(result);
    for (const Refusal& r : kRefusals) {
        if (strcasecmp(name.c_str(), r.name) == 0 && name.size() == std::strlen(r.name))
            return r.text_id;
    }
    return 49;
}

namespace {

// Copies at most `room` bytes of `text` into the zeroed field, never cutting a character in two.
void CopyCut(std::string_view text, char* field, size_t size, size_t room) {
    std::memset(field, 0, size);
    size_t n = std::min(text.size(), room);
    if (n < text.size()) {
        // Step back over continuation bytes so that a character is never cut in two.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(field, text.data(), n);
}

}  // namespace

void CopyTextField(std::string_view text, char* field, size_t size) {
    CopyCut(text, field, size, size == 0 ? 0 : size - 1);
}

void FillTextField(std::string_view text, char* field, size_t size) {
    CopyCut(text, field, size, size);
}

std::string FieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

}  // namespace tabs

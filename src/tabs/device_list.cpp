#include "tabs/device_list.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

namespace tabs {
namespace {

// The leading decimal number of `text` from `pos` (optional sign, digits; 0 without digits), as
// a C library conversion would read it, saturated to int; `pos` ends after the part's '.'.
long long NextPart(const std::string& text, size_t& pos) {
    size_t end = text.find('.', pos);
    if (end == std::string::npos) {
        end = text.size();
    }
    size_t i = pos;
    while (i < end && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    while (i < end && text[i] >= '0' && text[i] <= '9') {
        value = std::min<long long>(value * 10 + (text[i] - '0'), 0x7fffffff);
        ++i;
    }
    pos = end < text.size() ? end + 1 : text.size();
    return negative ? -value : value;
}

std::string NumberText(long long v) {
    return std::to_string(v);
}

}  // namespace

const std::vector<std::string>& DeviceColumnHeaders() {
    static const std::vector<std::string> headers = {
        "Number",  "IP", "Media Port", "Channel Num", "Device Type", "MAC Ver", "NetMask",
        "Gateway", "Fw", "DNS 1",      "DNS 2",       "Web Port",    "Net Type"};
    return headers;
}

const std::vector<int>& DeviceColumnWidths() {
    static const std::vector<int> widths = {60,  120, 120, 120, 120, 120, 120,
                                            120, 120, 140, 140, 80,  120};
    return widths;
}

bool IsListedDevice(const ZQNetDeviceRecord& device) {
    return FieldText(device.typeName) != "RVMS";
}

int CompareIpText(const std::string& a, const std::string& b) {
    size_t pa = 0;
    size_t pb = 0;
    for (int part = 0; part < 4; ++part) {
        const long long x = NextPart(a, pa);
        const long long y = NextPart(b, pb);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

void SortDevices(std::vector<const ZQNetDeviceRecord*>& devices, int mode) {
    auto ip_less = [](const ZQNetDeviceRecord* a, const ZQNetDeviceRecord* b) {
        return CompareIpText(FieldText(a->ip), FieldText(b->ip)) < 0;
    };
    auto mac_less = [](const ZQNetDeviceRecord* a, const ZQNetDeviceRecord* b) {
        // std::string compares its bytes as unsigned characters.
        return FieldText(a->mac) < FieldText(b->mac);
    };
    switch (mode) {
        case kSortIpAscending:
            std::sort(devices.begin(), devices.end(), ip_less);
            break;
        case kSortIpDescending:
            std::sort(devices.begin(), devices.end(),
                      [&](auto* a, auto* b) { return ip_less(b, a); });
            break;
        case kSortMacAscending:
            std::sort(devices.begin(), devices.end(), mac_less);
            break;
        case kSortMacDescending:
            std::sort(devices.begin(), devices.end(),
                      [&](auto* a, auto* b) { return mac_less(b, a); });
            break;
        default:
            break;
    }
}

std::vector<std::string> DeviceRowTexts(const ZQNetDeviceRecord& d, int row) {
    const int channels = d.channelsByte >= 1 ? d.channelsByte : d.channels;
    std::string type;
    // The type name arrives in UTF-8, which is also the program's encoding here: the conversion
    // only replaces what is not valid UTF-8.
    platform::FromEncoding(FieldText(d.typeName), "UTF-8", type);
    std::string net_type;
    switch (d.netType) {
        case 0:
            net_type = "DHCP";
            break;
        case 1:
            net_type = "PPPOE";
            break;
        case 2:
            net_type = "STATIC";
            break;
        default:
            break;
    }
    return {NumberText(row),
            FieldText(d.ip),
            NumberText(d.mediaPort),
            NumberText(channels),
            type,
            FieldText(d.mac),
            FieldText(d.netmask),
            FieldText(d.gateway),
            FieldText(d.version),
            FieldText(d.dns1),
            FieldText(d.dns2),
            NumberText(d.webPort),
            net_type};
}

}  // namespace tabs

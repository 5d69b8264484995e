#include "tabs/device_list.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

ZQNetDeviceRecord Device(const char* ip, const char* mac = "00:11:22:33:44:55",
                         const char* type = "NVR") {
    ZQNetDeviceRecord d;
    std::memset(&d, 0, sizeof d);
    std::strncpy(d.ip, ip, sizeof d.ip - 1);
    std::strncpy(d.mac, mac, sizeof d.mac - 1);
    std::strncpy(d.typeName, type, sizeof d.typeName - 1);
    return d;
}

TEST(DeviceList, ComparesAddressesNumberByNumber) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    };
    const Case cases[] = {
        {"127.0.0.9", "127.0.0.10", -1},
        {"10.0.0.10", "10.0.0.9", 1},
        {"10.0.0.9", "10.0.0.9", 0},
        {"9.255.255.255", "10.0.0.0", -1},
        {"192.168.1.2", "192.168.01.2", 0},  // leading zeros are decimal digits
        {"10.0.0.1.5", "10.0.0.1.9", 0},     // at most four numbers
        {"10.0.0", "10.0.0.0", 0},           // missing parts read as 0
        {"", "0.0.0.0", 0},
        {"10.x.0.1", "10.0.0.1", 0},
        {"10.2abc.0.1", "10.2.0.1", 0},
        {"10.0.0.1", "10.0.0.2", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const int r = tabs::CompareIpText(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign);
        const int back = tabs::CompareIpText(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.sign);
    }
}

TEST(DeviceList, SortsInEachMode) {
    const ZQNetDeviceRecord a = Device("127.0.0.10", "AA:00:00:00:00:01");
    const ZQNetDeviceRecord b = Device("127.0.0.9", "00:00:00:00:00:02");
    const ZQNetDeviceRecord c = Device("127.0.0.100", "\xC0:00:00:00:00:03");  // unsigned bytes
    struct Case {
        int mode;
        std::vector<const ZQNetDeviceRecord*> expected;
    };
    const Case cases[] = {
        {tabs::kSortIpAscending, {&b, &a, &c}},
        {tabs::kSortIpDescending, {&c, &a, &b}},
        {tabs::kSortMacAscending, {&b, &a, &c}},
        {tabs::kSortMacDescending, {&c, &a, &b}},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.mode);
        std::vector<const ZQNetDeviceRecord*> v = {&a, &b, &c};
        tabs::SortDevices(v, cs.mode);
        EXPECT_EQ(v, cs.expected);
    }
}

TEST(DeviceList, SkipsOnlyTheExactTypeNameRvms) {
    EXPECT_FALSE(tabs::IsListedDevice(Device("1.1.1.1", "", "RVMS")));
    EXPECT_TRUE(tabs::IsListedDevice(Device("1.1.1.1", "", "rvms")));
    EXPECT_TRUE(tabs::IsListedDevice(Device("1.1.1.1", "", "RVMS2")));
    EXPECT_TRUE(tabs::IsListedDevice(Device("1.1.1.1", "", "")));
}

TEST(DeviceList, RowTextsFollowTheColumns) {
    ZQNetDeviceRecord d = Device("127.0.0.12", "00:12:34:56:78:9A", "IPC-中文");
    std::strcpy(d.netmask, "255.255.255.0");
    std::strcpy(d.gateway, "127.0.0.1");
    std::strcpy(d.dns1, "8.8.8.8");
    std::strcpy(d.dns2, "8.8.4.4");
    std::strcpy(d.version, "V4.02.R11");
    d.mediaPort = 34567;
    d.webPort = 80;
    d.netType = 2;
    d.channels = 16;
    d.channelsByte = 0;
    const std::vector<std::string> expected = {
        "3",         "127.0.0.12",        "34567",         "16",
        "IPC-中文",  "00:12:34:56:78:9A", "255.255.255.0", "127.0.0.1",
        "V4.02.R11", "8.8.8.8",           "8.8.4.4",       "80",
        "STATIC"};
    EXPECT_EQ(tabs::DeviceRowTexts(d, 3), expected);
    EXPECT_EQ(tabs::DeviceColumnHeaders().size(), 13u);
    EXPECT_EQ(tabs::DeviceColumnWidths().size(), 13u);

    struct Case {
        int net_type;
        int8_t byte_channels;
        int32_t channels;
        const char* net_text;
        const char* channel_text;
    };
    const Case cases[] = {
        {0, 4, 32, "DHCP", "4"}, {1, 1, 0, "PPPOE", "1"}, {2, 0, 8, "STATIC", "8"},
        {3, 0, 0, "", "0"},      {-1, -2, 9, "", "9"},    {100, 0, -1, "", "-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.net_type);
        d.netType = c.net_type;
        d.channelsByte = c.byte_channels;
        d.channels = c.channels;
        const auto row = tabs::DeviceRowTexts(d, 0);
        EXPECT_EQ(row[12], c.net_text);
        EXPECT_EQ(row[3], c.channel_text);
    }
}

TEST(DeviceList, UnterminatedFieldsAreReadUpToTheirSize) {
    ZQNetDeviceRecord d;
    std::memset(&d, 'A', sizeof d);
    d.channelsByte = 1;
    const auto row = tabs::DeviceRowTexts(d, 0);
    EXPECT_EQ(row[1], std::string(sizeof d.ip, 'A'));
    EXPECT_EQ(row[4], std::string(sizeof d.typeName, 'A'));
    EXPECT_EQ(row[5], std::string(sizeof d.mac, 'A'));
    EXPECT_TRUE(tabs::IsListedDevice(d));
}

}  // namespace

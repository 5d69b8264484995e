// DeviceInfo.xml: the option sets the device information tab offers, shipped read-only in the
// program folder.
//
// Layout: a root of any name; `Name` children, each with a `NAME` (the set's name) and any number
// of `ProductType` records holding ProductType, DeviceType, DeviceName, FuncCode, LangCode.
// Records are appended in document order; two `Name` elements with one NAME share a set; a
// missing field is empty.
//
// What callers may rely on: a missing, unreadable or damaged file gives an empty map and nothing
// else happens. The process-wide map is filled once at start-up and read afterwards from the
// user-interface thread.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace config {

struct DeviceOptionRecord {
    std::string product_type;
    std::string device_type;
    std::string device_name;
    std::string function_code;
    std::string language_code;

    bool operator==(const DeviceOptionRecord&) const = default;
};

using DeviceOptionMap = std::map<std::string, std::vector<DeviceOptionRecord>>;

// Reads a DeviceInfo.xml file.
DeviceOptionMap ReadDeviceOptions(const std::string& path);

// The process-wide option sets, and their loading from program_folder + "DeviceInfo.xml".
const DeviceOptionMap& DeviceOptions();
void LoadDeviceOptions(const std::string& program_folder);

}  // namespace config

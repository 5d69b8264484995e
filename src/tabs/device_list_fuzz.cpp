// Device records as units send them: any bytes, split into 448-byte records, listed and sorted
// in every mode.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tabs/device_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ZQNetDeviceRecord> records;
    for (size_t at = 0; at < size && records.size() < 64; at += sizeof(ZQNetDeviceRecord)) {
        ZQNetDeviceRecord r;
        std::memset(&r, 0, sizeof r);
        std::memcpy(&r, data + at, std::min(sizeof r, size - at));
        records.push_back(r);
    }
    std::vector<const ZQNetDeviceRecord*> listed;
    for (const auto& r : records) {
        if (tabs::IsListedDevice(r)) {
            listed.push_back(&r);
        }
    }
    for (int mode = 0; mode < 4; ++mode) {
        tabs::SortDevices(listed, mode);
        int row = 0;
        for (const ZQNetDeviceRecord* r : listed) {
            if (tabs::DeviceRowTexts(*r, row++).size() != tabs::kDeviceColumnCount) {
                __builtin_trap();
            }
        }
    }
    return 0;
}

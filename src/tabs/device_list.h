// The rules of the search view's device list, without any window: which searched units are
// listed, in which order, and the texts of their columns.
//
// Device records come from units on the network, so no text field is trusted to be
// zero-terminated: every text is read up to its field's size. Pure functions, any thread.
#pragma once

#include <string>
#include <vector>

#include "device/ZQNet.h"

namespace tabs {

// Sort modes of the list.
enum DeviceSort : int {
    kSortIpAscending = 0,
    kSortIpDescending = 1,
    kSortMacAscending = 2,
    kSortMacDescending = 3,
};

inline constexpr int kDeviceColumnCount = 13;

// The column headers, in order ("Number", "IP", ... "Net Type"), and their widths in pixels.
const std::vector<std::string>& DeviceColumnHeaders();
const std::vector<int>& DeviceColumnWidths();

// A unit whose type name is exactly "RVMS" is never listed.
bool IsListedDevice(const ZQNetDeviceRecord& device);

// Compares two dotted address texts number by number (each part converted by its leading
// decimal digits, at most four parts): <0, 0, >0.
int CompareIpText(const std::string& a, const std::string& b);

// Sorts the records in a mode (stable is not promised for equal keys).
void SortDevices(std::vector<const ZQNetDeviceRecord*>& devices, int mode);

// The 13 column texts of one row; `row` is the number of rows before it.
std::vector<std::string> DeviceRowTexts(const ZQNetDeviceRecord& device, int row);

// A text field of a record, up to its first zero byte or the end of the field.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != '\0') {
        ++n;
    }
    return std::string(field, n);
}

}  // namespace tabs

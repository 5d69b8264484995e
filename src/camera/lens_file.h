// The focus lock tab's two jobs on a logged-in camera, without a window: locking the lens focus
// (PTZ command 96 with a 44-byte zero block) and importing a lens file as parameter 871.
//
// A lens file is sent as it is, with no size word, when it holds 1 to 400 bytes
// (ZQNET_LENS_FILE_MAX). A file that is larger is refused whole, not cut: nothing is sent and the
// row says so (text 316). An empty path, a missing or unreadable file, a folder and an empty file
// send nothing and give text 49. User-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/ZQNet.h"

namespace camera {

// Text 316: the lens file is larger than a unit takes.
inline constexpr int kLensFileTooLargeText = 316;

struct LensFile {
    enum class Status { kRead, kUnreadable, kTooLarge };
    Status status = Status::kUnreadable;
    std::vector<uint8_t> bytes;  // the whole file when kRead
};

// Reads the file at `path` (at most one byte more than a unit takes, to tell a larger file).
LensFile ReadLensFile(const std::string& path);

// PTZ 96 on the session: 48 when the unit took it, else 49.
int LockFocus(ZQNET_HANDLE session);

// Reads the file and sends it as parameter 871 (write form, the file's bytes, their length):
// 48 when the unit took it, 49 when it did not or the file cannot be read, 316 when too large.
int ImportLensFile(ZQNET_HANDLE session, const std::string& path);

}  // namespace camera

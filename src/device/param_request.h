// The parameter requests every tab makes of a logged-in unit: the query form and the write form
// of ZQNetParamRequest (ZQNetQueryParamEx, ZQNetSetParamEx).
//
// What callers may rely on: each returns true only when the library reported success; a
// connection of 0 is a failure without a call. The buffer stays the caller's; a query writes at
// most `size` bytes into it. Records that start with their own size have it set by the caller.
// User-interface thread (the calls block until the unit answers or the library gives up).
#pragma once

#include <cstdint>

#include "device/ZQNet.h"

namespace device {

// Query form {code, 0, buffer, size, 0, 0, 0, 0}.
bool QueryParam(ZQNET_HANDLE connection, int32_t code, void* buffer, int32_t size);

// Write form {216, code, buffer, size, 0, 0, 1, 0}.
bool WriteParam(ZQNET_HANDLE connection, int32_t code, void* buffer, int32_t size);

// The unit's device-information record (ZQNetGetDevInfo), zero-filled first.
bool GetDeviceInfo(ZQNET_HANDLE connection, ZQNetDeviceInfo& info);

}  // namespace device

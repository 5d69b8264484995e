// The factory reset, without a window: the reset record stamped with the local time and its
// write to a logged-in unit. User-interface thread (any thread for MakeResetRecord).
#pragma once

#include "device/ZQNet.h"
#include "platform/clock.h"

namespace tabs {

// The reset record (code 588) for local time `now`: size 28, year, month, day, hour, minute,
// second, then the restore byte 1; everything else zero.
ZQNetResetRecord MakeResetRecord(const platform::LocalTime& now);

// Writes the reset record for the current local time (platform::LocalNow) with the write form
// of the parameter request. Returns the result row's text: 48 written, 49 refused.
int WriteFactoryReset(ZQNET_HANDLE connection);

}  // namespace tabs

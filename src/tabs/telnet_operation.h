// The telnet and maintenance tab's operations, without a window: what is done on a logged-in
// unit for each of the tab's six buttons, and the result text of the row.
//
// What a caller may rely on:
// - Operations 0 to 3 send their command (349, 350, 351, 352) once and succeed whatever the unit
//   did with it; operation 0 with the test script asked for then runs the script (the caller's
//   `run_script`, which returns when the script has ended, started or not) and sends 350.
// - Operation 4 takes the unit's P2P key off in the key tab's two steps (tabs::ClearDeviceKey,
//   which logs them) and succeeds when both steps did.
// - Operation 5 is the time sync of params::SyncDeviceTime on the tab's session variable.
// User-interface thread only.
#pragma once

#include <functional>

#include "device/ZQNet.h"
#include "params/sys_param_dst.h"

namespace tabs {

enum TelnetOperation {
    kOpenTelnet = 0,
    kCloseTelnet = 1,
    kOpenConsole = 2,
    kCloseConsole = 3,
    kEraseP2p = 4,
    kTimeSync = 5,
};

// Sends command `command` (the command request: the code and three zero words).
void SendCommand(ZQNET_HANDLE session, int command);

// Performs `operation` on the logged-in session `*session`; returns the row's text id: 48
// succeeded, 49 failed. `run_script` is called only for kOpenTelnet and only when `with_script`.
int PerformTelnetOperation(int operation, const ZQNET_HANDLE* session, bool with_script,
                           const std::function<void()>& run_script, SysParamDst& time_param);

}  // namespace tabs

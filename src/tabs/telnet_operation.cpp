#include "tabs/telnet_operation.h"

#include "tabs/key_operation.h"

namespace tabs {

void SendCommand(ZQNET_HANDLE session, int command) {
    ZQNetCommandRequest request{};
    request.command = command;
    // The unit's answer is its own business: the operation counts as done once it is sent.
    if (session != 0)
        ZQNetSimpleCmd(session, &request);
}

int PerformTelnetOperation(int operation, const ZQNET_HANDLE* session, bool with_script,
                           const std::function<void()>& run_script, SysParamDst& time_param) {
    static constexpr int kCommands[] = {ZQNET_CMD_TELNET_OPEN, ZQNET_CMD_TELNET_CLOSE,
                                        ZQNET_CMD_CONSOLE_OPEN, ZQNET_CMD_CONSOLE_CLOSE};
    switch (operation) {
        case kOpenTelnet:
        case kCloseTelnet:
        case kOpenConsole:
        case kCloseConsole:
            SendCommand(*session, kCommands[operation]);
            if (operation == kOpenTelnet && with_script) {
                if (run_script)
                    run_script();
                SendCommand(*session, ZQNET_CMD_TELNET_CLOSE);
            }
            return 48;
        case kEraseP2p:
            return ClearDeviceKey(*session) ? 48 : 49;
        case kTimeSync:
            return params::SyncDeviceTime(session, time_param) ? 48 : 49;
        default:
            return 49;
    }
}

}  // namespace tabs

#include "tabs/reset_operation.h"

#include "device/param_request.h"

namespace tabs {

ZQNetResetRecord MakeResetRecord(const platform::LocalTime& now) {
    ZQNetResetRecord r{};
    r.size = sizeof r;
    r.year = static_cast<uint16_t>(now.year);
    r.month = static_cast<uint8_t>(now.month);
    r.day = static_cast<uint8_t>(now.day);
    r.hour = static_cast<uint8_t>(now.hour);
    r.minute = static_cast<uint8_t>(now.minute);
    r.second = static_cast<uint8_t>(now.second);
    r.restore = 1;
    return r;
}

int WriteFactoryReset(ZQNET_HANDLE connection) {
    ZQNetResetRecord record = MakeResetRecord(platform::LocalNow());
    return device::WriteParam(connection, ZQNET_PARAM_RESET, &record, sizeof record) ? 48 : 49;
}

}  // namespace tabs

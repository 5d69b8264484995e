#include "device/param_request.h"

namespace device {

bool QueryParam(ZQNET_HANDLE connection, int32_t code, void* buffer, int32_t size) {
    ZQNetParamRequest request{};
    request.command = code;
    request.buffer = buffer;
    request.size = size;
    return connection != 0 && ZQNetQueryParamEx(connection, &request) != 0;
}

bool WriteParam(ZQNET_HANDLE connection, int32_t code, void* buffer, int32_t size) {
    ZQNetParamRequest request{};
    request.command = ZQNET_PARAM_WRITE;
    request.code = code;
    request.buffer = buffer;
    request.size = size;
    request.write = 1;
    return connection != 0 && ZQNetSetParamEx(connection, &request) != 0;
}

bool GetDeviceInfo(ZQNET_HANDLE connection, ZQNetDeviceInfo& info) {
    info = ZQNetDeviceInfo{};
    return connection != 0 && ZQNetGetDevInfo(connection, &info, sizeof info) != 0;
}

}  // namespace device

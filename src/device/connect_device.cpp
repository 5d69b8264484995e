#include "device/connect_device.h"

#include <atomic>
#include <mutex>

#include "platform/window_message.h"

namespace {

// Program-wide, shared by every tab. Atomic (and the counter under a lock) because the
// callbacks run on the library's threads while the user-interface thread connects.
std::atomic<bool> posted_once{false};
std::mutex lost_mutex;
int lost_count = 0;

void PostOnce(void* window, int result) {
    if (window == nullptr)
        return;
    if (posted_once.exchange(true))
        return;
    platform::PostWindowMessage(
        static_cast<platform::WindowHandle>(reinterpret_cast<std::uintptr_t>(window)),
        kLoginResultMessage, static_cast<std::uintptr_t>(result), 0);
}

}  // namespace

int LoginResultOfStatus(int32_t status) {
    switch (status) {
        case ZQNET_STATUS_LOGGED_IN:
            return kLoginOk;
        case ZQNET_STATUS_UNKNOWN_USER:
            return kLoginUnknownUser;
        case ZQNET_STATUS_WRONG_PASSWORD:
            return kLoginWrongPassword;
        case ZQNET_STATUS_FAILED:
        case ZQNET_STATUS_CONNECTION_LOST:
            return kLoginFailed;
        default:
            return status >= 105 && status <= 112 ? kLoginFailed : 0;
    }
}

void DeviceStatusCallback(int32_t status, void* window) {
    if (status == ZQNET_STATUS_CONNECTION_LOST) {
        std::lock_guard lock(lost_mutex);
        if (++lost_count > 1) {
            lost_count = 0;
            return;
        }
    }
    int result = LoginResultOfStatus(status);
    if (result == 0)
        return;
    PostOnce(window, result);
}

void DeviceEventCallback(int32_t, const void*, int32_t, void* window) {
    PostOnce(window, kLoginFailed);
}

void StopDevice(ZQNET_HANDLE* handle) {
    if (*handle == 0)
        return;
    ZQNetConnectionStop(handle);
    *handle = 0;
}

ZQNET_HANDLE ConnectDevice(const char* address, ZQNET_HANDLE* handle, int port, const char* user,
                           const char* password, ZQNET_HWND window) {
    StopDevice(handle);
    ArmLoginResult();
    ZQNetConnectionRecord record{};
    record.address = address;
    record.port = port;
    record.user = user;
    record.password = password;
    record.userValue = reinterpret_cast<void*>(window);
    record.eventCallback = DeviceEventCallback;
    record.statusCallback = DeviceStatusCallback;
    record.kind = 0;
    *handle = ZQNetConnectionStartEx(&record);
    return *handle;
}

void ArmLoginResult() {
    posted_once = false;
}

void ResetDeviceSessionState() {
    std::lock_guard lock(lost_mutex);
    lost_count = 0;
    posted_once = false;
}

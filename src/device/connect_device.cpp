#include "device/connect_device.h"

#include <mutex>
#include <unordered_map>

#include "platform/window_message.h"

namespace {

// The connections still waiting for their login result, by login token: a connection's
// posted-once flag is its entry here, taken out by the first callback that posts (or by a stop).
// The callbacks run on the library's threads while the user-interface thread connects and
// stops, hence the lock.
struct Sessions {
    std::mutex mutex;
    std::unordered_map<LoginToken, ZQNET_HWND> waiting;
    std::unordered_map<ZQNET_HANDLE, LoginToken> token_of;  // started handles still waiting
    LoginToken last = 0;
    int lost_count = 0;  // status 150, program-wide
};

Sessions& State() {
    static Sessions sessions;
    return sessions;
}

LoginToken TokenOf(void* user) {
    return reinterpret_cast<LoginToken>(user);
}

void PostOnce(LoginToken token, int result) {
    ZQNET_HWND window = 0;
    {
        Sessions& s = State();
        std::lock_guard lock(s.mutex);
        auto it = s.waiting.find(token);
        if (it == s.waiting.end())
            return;  // posted already, stopped, or not a connection of ours
        window = it->second;
        s.waiting.erase(it);
    }
    if (window == 0)
        return;
    platform::PostWindowMessage(static_cast<platform::WindowHandle>(window), kLoginResultMessage,
                                static_cast<std::uintptr_t>(result),
                                static_cast<std::intptr_t>(token));
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

void DeviceStatusCallback(int32_t status, void* token) {
    if (status == ZQNET_STATUS_CONNECTION_LOST) {
        Sessions& s = State();
        std::lock_guard lock(s.mutex);
        if (++s.lost_count > 1) {
            s.lost_count = 0;
            return;
        }
    }
    int result = LoginResultOfStatus(status);
    if (result == 0)
        return;
    PostOnce(TokenOf(token), result);
}

void DeviceEventCallback(int32_t, const void*, int32_t, void* token) {
    PostOnce(TokenOf(token), kLoginFailed);
}

void StopDevice(ZQNET_HANDLE* handle) {
    if (*handle == 0)
        return;
    {
        Sessions& s = State();
        std::lock_guard lock(s.mutex);
        auto it = s.token_of.find(*handle);
        if (it != s.token_of.end()) {
            s.waiting.erase(it->second);
            s.token_of.erase(it);
        }
    }
    ZQNetConnectionStop(handle);
    *handle = 0;
}

void CancelLoginResult(LoginToken token) {
    Sessions& s = State();
    std::lock_guard lock(s.mutex);
    s.waiting.erase(token);
}

LoginToken ArmLoginResult(ZQNET_HWND window) {
    Sessions& s = State();
    std::lock_guard lock(s.mutex);
    LoginToken token = ++s.last;
    if (token == 0)
        token = ++s.last;
    s.waiting[token] = window;
    return token;
}

ZQNET_HANDLE ConnectDevice(const char* address, ZQNET_HANDLE* handle, int port, const char* user,
                           const char* password, ZQNET_HWND window, LoginToken* token) {
    StopDevice(handle);
    const LoginToken armed = ArmLoginResult(window);
    if (token != nullptr)
        *token = armed;
    ZQNetConnectionRecord record{};
    record.address = address;
    record.port = port;
    record.user = user;
    record.password = password;
    record.userValue = reinterpret_cast<void*>(armed);
    record.eventCallback = DeviceEventCallback;
    record.statusCallback = DeviceStatusCallback;
    record.kind = 0;
    *handle = ZQNetConnectionStartEx(&record);
    if (*handle != 0) {
        Sessions& s = State();
        std::lock_guard lock(s.mutex);
        // Still waiting (its result may have been posted already): a stop must silence it.
        if (s.waiting.count(armed) != 0)
            s.token_of[*handle] = armed;
    }
    return *handle;
}

void ResetDeviceSessionState() {
    Sessions& s = State();
    std::lock_guard lock(s.mutex);
    s.lost_count = 0;
    s.waiting.clear();
    s.token_of.clear();
}

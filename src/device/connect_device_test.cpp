// The login-result mapping of the device session, with the callbacks called directly as the
// library would call them.
#include "device/connect_device.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/window_message.h"

namespace {

// A window that records what is posted to it.
class RecordingWindow final : public platform::MessageReceiver {
public:
    RecordingWindow() : handle_(platform::RegisterWindow(this)) {}
    ~RecordingWindow() { platform::UnregisterWindow(handle_); }
    ZQNET_HWND handle() const { return handle_; }
    // A new connection of this window: its callbacks' user value.
    void* Connect() {
        token_ = ArmLoginResult(handle_);
        return reinterpret_cast<void*>(token_);
    }
    std::vector<int> results() {
        std::lock_guard lock(mutex_);
        return results_;
    }
    std::vector<LoginToken> tokens() {
        std::lock_guard lock(mutex_);
        return tokens_;
    }
    void OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(message, kLoginResultMessage);
        results_.push_back(static_cast<int>(wparam));
        tokens_.push_back(static_cast<LoginToken>(lparam));
    }

private:
    platform::WindowHandle handle_;
    LoginToken token_ = 0;
    std::mutex mutex_;
    std::vector<int> results_;
    std::vector<LoginToken> tokens_;
};

constexpr int kEvent = -1;  // stands for an event callback in a sequence
constexpr int kArm = -2;    // stands for a new ConnectDevice (a new connection of the window)

struct Case {
    std::string name;
    std::vector<int> calls;  // status codes, kEvent or kArm, in order
    std::vector<int> posted;
};

const Case kCases[] = {
    {"logged in", {101}, {40}},
    {"unknown user", {103}, {41}},
    {"wrong password", {104}, {42}},
    {"library failure", {2}, {44}},
    {"refused", {105}, {44}},
    {"unreachable", {106}, {44}},
    {"timed out", {107}, {44}},
    {"too many sessions", {108}, {44}},
    {"locked out", {109}, {44}},
    {"protocol error", {110}, {44}},
    {"tls failed", {111}, {44}},
    {"closed", {112}, {44}},
    {"lost", {150}, {44}},
    {"unmapped codes are ignored", {0, 1, 3, 100, 102, 113, 149, 151, 202}, {}},
    {"an ignored code does not use up the post", {202, 104}, {42}},
    {"only the first outcome posts", {101, 104}, {40}},
    {"event before any status", {kEvent}, {44}},
    {"event then status", {kEvent, 101}, {44}},
    {"event after logged in", {101, kEvent}, {40}},
    {"a new connection posts again", {101, kArm, 104}, {40, 42}},
    {"second 150 in one connection is ignored", {150, 150, kArm, 101}, {44, 40}},
    {"second 150 across connections is ignored", {150, kArm, 150, 101}, {44, 40}},
    {"third 150 is handled again", {150, kArm, 150, kArm, 150}, {44, 44}},
    {"150 counting survives other codes", {150, kArm, 101, kArm, 150, 104}, {44, 40, 42}},
};

TEST(DeviceSession, CallbackTable) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ResetDeviceSessionState();
        RecordingWindow window;
        void* user = window.Connect();
        for (int call : c.calls) {
            if (call == kEvent) {
                DeviceEventCallback(253, nullptr, 0, user);
            } else if (call == kArm) {
                user = window.Connect();
            } else {
                DeviceStatusCallback(call, user);
            }
        }
        EXPECT_EQ(window.results(), c.posted);
    }
}

TEST(DeviceSession, EachMessageCarriesItsConnectionsToken) {
    ResetDeviceSessionState();
    RecordingWindow window;
    void* first = window.Connect();
    void* second = window.Connect();
    DeviceStatusCallback(104, second);
    DeviceStatusCallback(101, first);
    EXPECT_EQ(window.results(), (std::vector<int>{42, 40}));
    EXPECT_EQ(window.tokens(), (std::vector<LoginToken>{reinterpret_cast<LoginToken>(second),
                                                        reinterpret_cast<LoginToken>(first)}));
    EXPECT_NE(first, second);
}

// Two tabs connect at once: each hears its own connection, whichever answers first (a program-
// wide flag gave the second tab's result and left the first tab waiting for ever).
TEST(DeviceSession, AConnectionOfAnotherTabNeverTakesThisTabsResult) {
    ResetDeviceSessionState();
    RecordingWindow first, second;
    void* slow = first.Connect();
    void* quick = second.Connect();
    DeviceStatusCallback(101, quick);
    DeviceStatusCallback(107, slow);  // the library's login time-out
    EXPECT_EQ(first.results(), std::vector<int>{44});
    EXPECT_EQ(second.results(), std::vector<int>{40});
}

TEST(DeviceSession, ACancelledOrUnknownTokenPostsNothing) {
    ResetDeviceSessionState();
    RecordingWindow window;
    void* user = window.Connect();
    CancelLoginResult(reinterpret_cast<LoginToken>(user));
    DeviceStatusCallback(101, user);
    DeviceStatusCallback(101, reinterpret_cast<void*>(LoginToken{987654}));
    DeviceStatusCallback(101, nullptr);
    EXPECT_TRUE(window.results().empty());
}

TEST(DeviceSession, AConnectionWithoutAWindowPostsNothing) {
    ResetDeviceSessionState();
    void* user = reinterpret_cast<void*>(ArmLoginResult(0));
    DeviceStatusCallback(101, user);
    DeviceEventCallback(253, nullptr, 0, user);
}

TEST(DeviceSession, AGoneWindowIsNoFailure) {
    ResetDeviceSessionState();
    void* gone;
    {
        RecordingWindow window;
        gone = window.Connect();
    }
    DeviceStatusCallback(101, gone);
    DeviceEventCallback(253, nullptr, 0, gone);
}

}  // namespace

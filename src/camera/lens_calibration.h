// The lens calibration tab's sequence, without a window: the capability check once the camera
// has logged the tab in, the start of the calibration (PTZ 108), the camera's calibration alarms
// (type 253) turned into message 1650 for the tab's window, and the result box.
//
// What a caller may rely on:
// - The running flag is the start command's result; it is non-zero from a successful start
//   until the final alarm has been handled or Stop is called. OnAlarm reads it on the device
//   library's thread; every other member runs on the user-interface thread.
// - OnAlarm posts message 1650 (wparam 253) only for alarm 253 while the flag is set, with a
//   56-byte block holding the first min(length, 56) bytes of the alarm, zero-filled. The block
//   belongs to the message: OnResult frees it, and a block whose message never reaches the
//   handler (the window was gone when it was posted, or was destroyed with the message still
//   queued) is freed by this object when it is destroyed. An lparam that is not a block of
//   this object is ignored.
// - OnResult shows at most one box through the prompter: 291 (result 255) or 240 (result 1) as
//   an error box, 239 as a success box for any other result.
// Destroy the object only after the connection whose event callback calls OnAlarm has been
// stopped (ZQNetConnectionStop: no callback runs after it returns).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "device/ZQNet.h"
#include "platform/window_message.h"
#include "tabs/tab_prompter.h"

namespace camera {

// Device-information byte 452: the unit can calibrate its lens.
bool HasLensCalibration(ZQNET_HANDLE connection);

class CLensCalibration {
  public:
    static constexpr unsigned kResultMessage = 1650;                              // WM_USER + 626
    static constexpr size_t kAlarmBlockSize = sizeof(ZQNetLensCalibrationAlarm);  // 56
    // Boxes (language ids).
    static constexpr int kFailedText = 240;     // result 1
    static constexpr int kAbortedText = 291;    // result 255
    static constexpr int kSucceededText = 239;  // any other result

    // What the Set button is to do after a step.
    enum class SetButton { kUnchanged, kEnable, kDisable };

    explicit CLensCalibration(tabs::TabPrompter& prompter) : prompter_(prompter) {}
    ~CLensCalibration();
    CLensCalibration(const CLensCalibration&) = delete;
    CLensCalibration& operator=(const CLensCalibration&) = delete;

    // Message 1649 with `status`: on 101 (logged in), kEnable when the camera reports the
    // capability, else kUnchanged. A lost connection (150) ends a calibration that was waiting
    // (its result can no longer come) and disables Set: kDisable. Other statuses: kUnchanged.
    SetButton OnStatus(int status, ZQNET_HANDLE connection);

    // Set: PTZ 108 when the tab has a connection, a preview and a playback instance
    // (`previewing`); the result becomes the running flag. kDisable while the calibration runs,
    // kEnable when it could not be started.
    SetButton Start(ZQNET_HANDLE connection, bool previewing);

    // The stop routine (Login, device change, destruction): clears the running flag, so the
    // alarms of a calibration started before are ignored.
    void Stop() { running_.store(0); }

    int32_t Running() const { return running_.load(); }

    // The event callback's step, on the device library's thread.
    void OnAlarm(int32_t type, const void* data, int32_t length, platform::WindowHandle window);

    // Message 1650 on the tab's window: frees the block; kDisable while the camera still
    // calibrates, kEnable when it has finished. In that case `enable_set` (when given) is called
    // before the result box, so Set is enabled while the box is open.
    SetButton OnResult(std::uintptr_t wparam, std::intptr_t lparam,
                       const std::function<void()>& enable_set = {});

    // Blocks posted and not yet handled (for tests).
    size_t PendingBlocks();

  private:
    tabs::TabPrompter& prompter_;
    std::atomic<int32_t> running_{0};
    std::mutex mutex_;
    std::set<ZQNetLensCalibrationAlarm*> pending_;  // blocks owned by posted messages
};

}  // namespace camera

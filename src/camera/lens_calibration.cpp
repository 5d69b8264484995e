#include "camera/lens_calibration.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "device/param_request.h"

namespace camera {

bool HasLensCalibration(ZQNET_HANDLE connection) {
    ZQNetDeviceInfo info;
    return device::GetDeviceInfo(connection, info) && info.lensCalibration == 1;
}

CLensCalibration::~CLensCalibration() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ZQNetLensCalibrationAlarm* block : pending_) {
        delete block;
    }
}

CLensCalibration::SetButton CLensCalibration::OnStatus(int status, ZQNET_HANDLE connection) {
    if (status == ZQNET_STATUS_LOGGED_IN) {
        return HasLensCalibration(connection) ? SetButton::kEnable : SetButton::kUnchanged;
    }
    if (status == ZQNET_STATUS_CONNECTION_LOST) {
        running_.store(0);
        return SetButton::kDisable;
    }
    return SetButton::kUnchanged;
}

CLensCalibration::SetButton CLensCalibration::Start(ZQNET_HANDLE connection, bool previewing) {
    if (connection == 0 || !previewing) {
        return SetButton::kUnchanged;
    }
    // The flag is set before the camera answers: its first alarm may come before the answer.
    running_.store(1);
    const int32_t started = ZQNetPTZControl(connection, ZQNET_PTZ_LENS_CALIBRATION, nullptr);
    running_.store(started);
    return started != 0 ? SetButton::kDisable : SetButton::kEnable;
}

void CLensCalibration::OnAlarm(int32_t type, const void* data, int32_t length,
                               platform::WindowHandle window) {
    if (static_cast<uint16_t>(type) != ZQNET_ALARM_LENS_CALIBRATION || running_.load() == 0) {
        return;
    }
    auto block = std::make_unique<ZQNetLensCalibrationAlarm>();  // zero-filled
    if (data != nullptr && length > 0) {
        std::memcpy(block.get(), data,
                    std::min<size_t>(static_cast<size_t>(length), kAlarmBlockSize));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ZQNetLensCalibrationAlarm* posted = block.get();
    pending_.insert(posted);
    if (platform::PostWindowMessage(window, kResultMessage, ZQNET_ALARM_LENS_CALIBRATION,
                                    reinterpret_cast<std::intptr_t>(posted))) {
        block.release();  // now owned by the message, found again through pending_
    } else {
        pending_.erase(posted);  // the window is gone: the block dies here
    }
}

CLensCalibration::SetButton CLensCalibration::OnResult(std::uintptr_t wparam, std::intptr_t lparam,
                                                       const std::function<void()>& enable_set) {
    std::unique_ptr<ZQNetLensCalibrationAlarm> block;
    {
        auto* posted = reinterpret_cast<ZQNetLensCalibrationAlarm*>(lparam);
        std::lock_guard<std::mutex> lock(mutex_);
        if (lparam == 0 || pending_.erase(posted) == 0) {
            return SetButton::kUnchanged;
        }
        block.reset(posted);
    }
    if (wparam != ZQNET_ALARM_LENS_CALIBRATION) {
        return SetButton::kUnchanged;
    }
    if (block->running != 0) {
        // A "running" alarm of a start the camera then refused (posted before the answer) leaves
        // Set as the start left it.
        return running_.load() != 0 ? SetButton::kDisable : SetButton::kUnchanged;
    }
    // A result that arrives after the stop routine (the alarm was posted just before it) belongs
    // to a calibration the operator has left: it is not shown.
    if (running_.exchange(0) == 0) {
        return SetButton::kUnchanged;
    }
    if (enable_set) {
        enable_set();
    }
    if (block->result == 255) {
        prompter_.Box(kAbortedText, tabs::kErrorBox);
    } else if (block->result == 1) {
        prompter_.Box(kFailedText, tabs::kErrorBox);
    } else {
        prompter_.Box(kSucceededText, tabs::kSuccessBox);
    }
    return SetButton::kEnable;
}

size_t CLensCalibration::PendingBlocks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

}  // namespace camera

// A window of the platform layer for tests and benchmarks of the playback library: it reports a
// client size and keeps the count and the newest of the pictures shown to it. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/window_message.h"

namespace zqplay_clip {

class PictureWindow final : private platform::MessageReceiver {
  public:
    using Picture = std::shared_ptr<const platform::WindowPicture>;

    PictureWindow(int width, int height) : handle_(platform::RegisterWindow(this)) {
        platform::SetWindowClientSize(handle_, width, height);
    }
    ~PictureWindow() { platform::UnregisterWindow(handle_); }
    PictureWindow(const PictureWindow&) = delete;
    PictureWindow& operator=(const PictureWindow&) = delete;

    std::uintptr_t hwnd() const { return handle_; }

    // Waits (up to 60 s, so a loaded machine never fails it) until `count` pictures arrived.
    bool WaitForPictures(std::size_t count) {
        return WaitUntil([&] { return shown_ >= count; });
    }
    // Waits as long until the newest picture satisfies `good`.
    template <typename Pred>
    bool WaitUntilLast(Pred good) {
        return WaitUntil([&] { return last_ && good(*last_); });
    }
    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    Picture Last() {
        std::lock_guard lock(mutex_);
        return last_;
    }

  private:
    template <typename Pred>
    bool WaitUntil(Pred done) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(60), done);
    }
    void OnPost(unsigned, std::uintptr_t, std::intptr_t) override {}
    void OnPicture(Picture picture) override {
        std::lock_guard lock(mutex_);
        ++shown_;
        last_ = std::move(picture);
        arrived_.notify_all();
    }

    platform::WindowHandle handle_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::size_t shown_ = 0;
    Picture last_;
};

}  // namespace zqplay_clip

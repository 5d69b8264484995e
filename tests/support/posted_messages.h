// A window of the platform layer for tests: records the messages posted to its handle
// (message, wParam) in order, from any thread, and lets the test wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/window_message.h"

struct PostedMessages final : platform::MessageReceiver {
    using List = std::vector<std::pair<unsigned, std::uintptr_t>>;

    platform::WindowHandle handle = platform::RegisterWindow(this);
    std::mutex mutex;
    std::condition_variable changed;
    List posted;
    int nonzero_lparams = 0;  // messages that came with an lParam other than 0

    PostedMessages() = default;
    PostedMessages(const PostedMessages&) = delete;
    PostedMessages& operator=(const PostedMessages&) = delete;
    ~PostedMessages() { platform::UnregisterWindow(handle); }

    void OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override {
        std::lock_guard lock(mutex);
        posted.emplace_back(message, wparam);
        if (lparam != 0)
            ++nonzero_lparams;
        changed.notify_all();
    }
    // What has been posted once `n` messages have come, or `limit` has passed.
    List Wait(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return posted.size() >= n; });
        return posted;
    }
};

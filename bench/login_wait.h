// LoginWait: the status callback of a connection record made by hand, and a wait for the login
// outcome it reports (the first status code; 0 when none came within 5 s). Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct LoginWait {
    std::mutex mutex;
    std::condition_variable changed;
    int status = 0;
    static void OnStatus(int32_t status, void* user) {
        auto* l = static_cast<LoginWait*>(user);
        std::lock_guard lock(l->mutex);
        if (l->status == 0)
            l->status = status;
        l->changed.notify_all();
    }
    int Wait() {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return status != 0; });
        return status;
    }
};

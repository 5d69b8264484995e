// What one libZQNet connection reported through its callbacks, for tests: statuses and events
// in arrival order, collected on the library's threads and read on the test's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "device/ZQNet.h"

struct ConnectionReports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> statuses;
    std::vector<std::pair<int, std::vector<std::uint8_t>>> events;

    static void OnStatus(int32_t status, void* user) {
        auto* r = static_cast<ConnectionReports*>(user);
        std::lock_guard lock(r->mutex);
        r->statuses.push_back(status);
        r->changed.notify_all();
    }
    static void OnEvent(int32_t type, const void* data, int32_t length, void* user) {
        auto* r = static_cast<ConnectionReports*>(user);
        std::lock_guard lock(r->mutex);
        const auto* b = static_cast<const std::uint8_t*>(data);
        r->events.emplace_back(type, std::vector<std::uint8_t>(b, b + length));
        r->changed.notify_all();
    }

    // Waits until `count` statuses have come (or `limit`), then a little longer for any extra one.
    std::vector<int> Wait(std::size_t count,
                          std::chrono::milliseconds limit = std::chrono::seconds(3)) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return statuses.size() >= count; });
        changed.wait_for(lock, std::chrono::milliseconds(100),
                         [&] { return statuses.size() > count; });
        return statuses;
    }
    // The first status (waiting up to 5 s for it), 0 when none came.
    int First() {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return !statuses.empty(); });
        return statuses.empty() ? 0 : statuses[0];
    }
    std::vector<int> All() {
        std::lock_guard lock(mutex);
        return statuses;
    }

    // Starts a connection that reports here.
    ZQNET_HANDLE Start(const char* address, int port, const char* user, const char* password) {
        ZQNetConnectionRecord record{};
        record.address = address;
        record.port = port;
        record.user = user;
        record.password = password;
        record.userValue = this;
        record.statusCallback = OnStatus;
        record.eventCallback = OnEvent;
        return ZQNetConnectionStartEx(&record);
    }
};

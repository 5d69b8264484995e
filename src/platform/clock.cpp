#include "platform/clock.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

namespace platform {

namespace {

std::mutex& ClockMutex() {
    static std::mutex m;
    return m;
}

std::function<LocalTime()>& InstalledClock() {
    static std::function<LocalTime()> clock;
    return clock;
}

LocalTime SystemNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.weekday = tm.tm_wday;
    return t;
}

}  // namespace

LocalTime LocalNow() {
    std::function<LocalTime()> clock;
    {
        std::lock_guard<std::mutex> lock(ClockMutex());
        clock = InstalledClock();
    }
    return clock ? clock() : SystemNow();
}

void SetLocalClock(std::function<LocalTime()> clock) {
    std::lock_guard<std::mutex> lock(ClockMutex());
    InstalledClock() = std::move(clock);
}

std::string TimeStampText(const LocalTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace platform

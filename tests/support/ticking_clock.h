// A local clock for tests that insert records: one second later at every reading, from
// 2026-01-01 00:00:00, so that no two rows share a `Date` key. Install it with
// platform::SetLocalClock(test_clock::Ticking). Header-only; UI thread only (it counts without a
// lock).
#pragma once

#include <ctime>

#include "platform/clock.h"

namespace test_clock {

inline platform::LocalTime Ticking() {
    static std::time_t t = 1767225600;  // 2026-01-01 00:00:00
    std::time_t now = t++;
    std::tm tm{};
    gmtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
            tm.tm_min,         tm.tm_sec,     tm.tm_wday};
}

}  // namespace test_clock

// The local clock, as a seam tests can set.
//
// Every time stamp the station writes (record keys, log lines, result rows, time-sync records)
// reads the local time through LocalNow(). Production uses the system's local time; a test may
// install its own clock with SetLocalClock and remove it again with an empty function.
// All functions are thread-safe.
#pragma once

#include <functional>
#include <string>

namespace platform {

struct LocalTime {
    int year = 1970;  // e.g. 2019
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int second = 0;   // 0..60
    int weekday = 4;  // 0 = Sunday .. 6
};

// The current local time from the installed clock, or from the system when none is installed.
LocalTime LocalNow();

// Installs a clock (an empty function restores the system clock).
void SetLocalClock(std::function<LocalTime()> clock);

// "%04d-%02d-%02d_%02d:%02d:%02d": the station's time stamp for record keys and result rows,
// e.g. "2019-03-07_14:05:09".
std::string TimeStampText(const LocalTime& t);
inline std::string TimeStampText() {
    return TimeStampText(LocalNow());
}

}  // namespace platform

#include "records/activity_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace records {

namespace {

std::mutex& LogMutex() {
    static std::mutex m;
    return m;
}

FILE*& LogFile() {
    static FILE* file = nullptr;
    return file;
}

}  // namespace

bool OpenActivityLog(const std::string& path) {
    std::lock_guard<std::mutex> lock(LogMutex());
    if (LogFile() != nullptr)
        std::fclose(LogFile());
    LogFile() = std::fopen(path.c_str(), "a");
    return LogFile() != nullptr;
}

void CloseActivityLog() {
    std::lock_guard<std::mutex> lock(LogMutex());
    if (LogFile() != nullptr)
        std::fclose(LogFile());
    LogFile() = nullptr;
}

bool ActivityLogOpen() {
    std::lock_guard<std::mutex> lock(LogMutex());
    return LogFile() != nullptr;
}

void WriteLog(const char* format, ...) {
    char line[kLogRecordBytes + 1];
    platform::LocalTime t = platform::LocalNow();
    int prefix = std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d:", t.year, t.month,
                               t.day, t.hour, t.minute, t.second);
    if (prefix < 0)
        prefix = 0;
    size_t used = static_cast<size_t>(prefix) < kLogRecordBytes ? static_cast<size_t>(prefix)
                                                                : kLogRecordBytes;
    va_list args;
    va_start(args, format);
    int message = std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    if (message > 0) {
        used += static_cast<size_t>(message);
        if (used > kLogRecordBytes)
            used = kLogRecordBytes;
    }

    std::lock_guard<std::mutex> lock(LogMutex());
    if (LogFile() != nullptr) {
        // Handed to the system at once: an engineer following the file sees each step as it
        // happens, and a crash loses no line already logged.
        std::fwrite(line, 1, used, LogFile());
        std::fflush(LogFile());
    }
}

}  // namespace records

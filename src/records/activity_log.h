// The activity log: one process-wide text file (ZQTalvaneLog.txt in the configuration folder)
// where the tabs note each step of their work.
//
// Each WriteLog call appends one record: the local time as "%04d-%02d-%02d %02d:%02d:%02d:"
// (platform/clock.h) followed directly by the printf-formatted message. Nothing is added after
// the message, so callers end their formats with "\n". A record holds at most 2047 bytes;
// a longer message is cut there.
//
// What callers may rely on: WriteLog never fails visibly and may be called from any thread;
// records never interleave. While no file is open (before OpenActivityLog, after it failed, or
// after CloseActivityLog) records are dropped. The file is appended to, never truncated, and
// each record is handed to the operating system as it is written (a flush, not a disk sync): it
// is in the file at once for a reader, and a crash of the program loses none.
#pragma once

#include <cstddef>
#include <string>

namespace records {

inline constexpr size_t kLogRecordBytes = 2047;

// Opens `path` for appending (creating it when missing). False when it cannot be opened; the
// log then stays off. An open log is closed first.
bool OpenActivityLog(const std::string& path);
void CloseActivityLog();
bool ActivityLogOpen();

// Formats and appends one record.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace records

// The activity log against its peer, fprintf of the same line to a file opened for appending,
// followed by fflush (what one record must cost at most: one formatting step and one write the
// system sees at once). Beside it, the plain buffered fprintf: what a record cost while the log
// only reached the file when its buffer filled. Prints the time per record of each and the ratio
// of the log to its peer.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "records/activity_log.h"

namespace {

constexpr int kRecords = 200000;

template <typename F>
double NanosPerRecord(F&& run) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / kRecords;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/zq_log_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string folder = pattern;
    const char* mac = "00:11:22:33:44:55";

    double log_ns = NanosPerRecord([&] {
        records::OpenActivityLog(folder + "/ZQTalvaneLog.txt");
        for (int i = 0; i < kRecords; ++i) {
            records::WriteLog("Set mac address success, mac:%s, wifi mac:%s, Check server:%d\n",
                              mac, mac, i & 1);
        }
        records::CloseActivityLog();
    });

    auto peer = [&](const std::string& name, bool flush) {
        return NanosPerRecord([&] {
            FILE* f = std::fopen((folder + name).c_str(), "a");
            if (f == nullptr) return;
            for (int i = 0; i < kRecords; ++i) {
                // The same work as a record: read the clock, format prefix and message, write.
                platform::LocalTime t = platform::LocalNow();
                std::fprintf(f,
                             "%04d-%02d-%02d %02d:%02d:%02d:Set mac address success, mac:%s, "
                             "wifi mac:%s, Check server:%d\n",
                             t.year, t.month, t.day, t.hour, t.minute, t.second, mac, mac, i & 1);
                if (flush) std::fflush(f);
            }
            std::fclose(f);
        });
    };
    double fprintf_ns = peer("/peer.txt", false);
    double flush_ns = peer("/flush.txt", true);
    std::filesystem::remove_all(folder);

    std::printf("records: %d\n", kRecords);
    std::printf("activity log (flushed):    %8.1f ns/record\n", log_ns);
    std::printf("fprintf + fflush (peer):   %8.1f ns/record\n", flush_ns);
    std::printf("fprintf buffered:          %8.1f ns/record  (a record before the flush)\n",
                fprintf_ns);
    std::printf("ratio log / peer:          %8.2f\n", log_ns / flush_ns);
    return 0;
}

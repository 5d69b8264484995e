// One device search: probes the configured targets over UDP, hands each new answer to the
// caller's callback on the search's own thread, and ends with a call without a record when the
// search window has passed, unless the callback has returned 0 before.
#pragma once

#include <atomic>
#include <thread>

#include "config.h"
#include "device/ZQNet.h"

namespace zqnet {

class Search {
  public:
    // The thread starts at once.
    Search(const ZQNetSearchRequest& request, const Config& config);
    // Stops the search if it still runs (its callback is not called afterwards) and joins it.
    ~Search();
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    bool finished() const { return finished_; }

  private:
    void Run();

    ZQNetSearchCallback callback_;
    void* user_;
    Config config_;
    int wake_fd_ = -1;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// At most this many distinct units are reported by one search.
inline constexpr int kMaxSearchDevices = 4096;

}  // namespace zqnet

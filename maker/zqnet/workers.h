// The library's threads for connections: a connection runs on a worker that an ended connection
// has left idle, or on a new one, so that starting a connection rarely waits for a new thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zqnet {

class Workers {
  public:
    // Runs the task on a worker; false (task not run) when no thread can be had.
    bool Run(std::function<void()> task);

    // Waits until every task given has ended, then ends and joins every worker. A worker that
    // calls it is left to end by itself. Run may be used again afterwards.
    void JoinAll();

  private:
    void Work();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;  // given, not yet taken
    int idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace zqnet

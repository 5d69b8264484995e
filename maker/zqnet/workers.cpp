#include "workers.h"

#include <exception>

namespace zqnet {

bool Workers::Run(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    tasks_.push_back(std::move(task));
    if (static_cast<std::size_t>(idle_) >= tasks_.size()) {
        lock.unlock();
        changed_.notify_one();  // unlocked, so that the woken worker need not wait for the lock
        return true;
    }
    try {
        threads_.emplace_back([this] { Work(); });
    } catch (const std::exception&) {
        tasks_.pop_back();
        return false;
    }
    return true;
}

void Workers::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        changed_.wait(lock, [&] { return !tasks_.empty() || stopping_; });
        --idle_;
        if (tasks_.empty())
            return;  // stopping
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // lets go of what the task holds before waiting again
        lock.lock();
    }
}

void Workers::JoinAll() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
        changed_.notify_all();
    }
    for (std::thread& t : threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();  // a worker ends once no task is left
        }
    }
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

}  // namespace zqnet

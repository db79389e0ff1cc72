#include "TimerQueue.h"

namespace boardsim {

TimerQueue::TimerQueue() : thread_([this] { run(); }) {}

TimerQueue::~TimerQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    changed_.notify_all();
    thread_.join();
}

void TimerQueue::schedule(int delayMs, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Equal times keep insertion order in a multimap.
        tasks_.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(task));
    }
    changed_.notify_all();
}

void TimerQueue::cancelAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.clear();
}

void TimerQueue::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto first = tasks_.begin();
        // A copy: cancelAll() may erase the entry while this thread waits.
        const Clock::time_point due = first->first;
        if (due > Clock::now()) {
            changed_.wait_until(lock, due);
            continue;
        }
        auto task = std::move(first->second);
        tasks_.erase(first);
        lock.unlock(); // tasks send datagrams; never under the queue's lock
        task();
        lock.lock();
    }
}

} // namespace boardsim

#include "TimerQueue.h"

namespace boardsim {

TimerQueue::TimerQueue() : thread([this] { run(); }) {}

TimerQueue::~TimerQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        tasks.clear();
    }
    changed.notify_all();
    thread.join();
}

void TimerQueue::schedule(int delayMs, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Equal times keep insertion order in a multimap.
        tasks.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(task));
    }
    changed.notify_all();
}

void TimerQueue::cancelAll() {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.clear();
}

void TimerQueue::run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (tasks.empty()) {
            changed.wait(lock);
            continue;
        }
        auto first = tasks.begin();
        // A copy: cancelAll() may erase the entry while this thread waits.
        const Clock::time_point due = first->first;
        if (due > Clock::now()) {
            changed.wait_until(lock, due);
            continue;
        }
        auto task = std::move(first->second);
        tasks.erase(first);
        lock.unlock(); // tasks send datagrams; never under the queue's lock
        task();
        lock.lock();
    }
}

} // namespace boardsim

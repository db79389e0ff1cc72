#include "TimerQueue.h"

#include "Lock.h"

namespace boardsim {

TimerQueue::TimerQueue() : thread([this] { run(); }) {}

TimerQueue::~TimerQueue() {
    requestStop();
    thread.join();
}

void TimerQueue::requestStop() {
    {
        Lock lock(mutex);
        stopping = true;
        tasks.clear();
    }
    changed.notify_all();
}

void TimerQueue::schedule(int delayMs, std::function<void()> task) {
    {
        Lock lock(mutex);
        // Equal times keep insertion order in a multimap.
        tasks.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(task));
    }
    changed.notify_all();
}

void TimerQueue::cancelAll() {
    Lock lock(mutex);
    tasks.clear();
}

void TimerQueue::run() {
    Lock lock(mutex);
    while (!stopping) {
        if (tasks.empty()) {
            lock.wait(changed);
            continue;
        }
        auto first = tasks.begin();
        // A copy: cancelAll() may erase the entry while this thread waits.
        const Clock::time_point due = first->first;
        if (due > Clock::now()) {
            lock.waitUntil(changed, due);
            continue;
        }
        auto task = std::move(first->second);
        tasks.erase(first);
        lock.unlock(); // tasks send datagrams; never under the queue's lock
        task();
        lock.relock();
    }
}

} // namespace boardsim

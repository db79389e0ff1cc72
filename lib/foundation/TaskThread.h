#pragma once

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>
#include <utility>

// A thread of our own that runs tasks once they are due, in due order (ties
// in posting order), measured on the monotonic clock. Work that must not run
// on a library thread (making or destroying the library client) and delayed
// retries go here.
class TaskThread {
public:
    TaskThread();
    // Drops the tasks not yet run and joins the thread.
    ~TaskThread();
    TaskThread(TaskThread const&) = delete;
    TaskThread& operator=(TaskThread const&) = delete;

    void post(std::chrono::milliseconds delay, std::function<void()> task);
    // Drops the tasks not yet run and joins; later posts are dropped. Must
    // not be called from a task.
    void shutdown();
    bool isCurrentThread() const;

private:
    using Clock = std::chrono::steady_clock;

    void run();
    static void runGuarded(std::function<void()> const& task);

    CheckedMutex mutex;
    std::condition_variable wake;
    std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> tasks GUARDED_BY(mutex);
    uint64_t sequence GUARDED_BY(mutex) = 0;
    bool stopping GUARDED_BY(mutex) = false;
    std::thread thread;
};

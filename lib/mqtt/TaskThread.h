#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace MQTT {

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

    std::mutex mutex; // guards tasks, sequence and stopping
    std::condition_variable wake;
    std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> tasks;
    uint64_t sequence = 0;
    bool stopping = false;
    std::thread thread;
};

} // namespace MQTT

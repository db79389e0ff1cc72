#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace boardsim {

// Runs tasks at a later time on one thread of its own, in time order.
class TimerQueue {
public:
    TimerQueue();
    ~TimerQueue();
    TimerQueue(TimerQueue const&) = delete;
    TimerQueue& operator=(TimerQueue const&) = delete;

    void schedule(int delayMs, std::function<void()> task);
    void cancelAll();

private:
    void run();

    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::condition_variable changed;                               // signalled under mutex
    std::multimap<Clock::time_point, std::function<void()>> tasks; // guarded by mutex
    bool stopping = false;                                         // guarded by mutex
    std::thread thread;
};

} // namespace boardsim

#pragma once

#include "Mutex.h"
#include "ThreadSafety.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
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
    // Ends run(). Apart from the destructor, where the thread-safety analysis
    // would not check it (it checks no destructor).
    void requestStop();
    void run();

    using Clock = std::chrono::steady_clock;
    Mutex mutex;
    std::condition_variable changed; // signalled under mutex
    std::multimap<Clock::time_point, std::function<void()>> tasks SIM_GUARDED_BY(mutex);
    bool stopping SIM_GUARDED_BY(mutex) = false;
    std::thread thread;
};

} // namespace boardsim

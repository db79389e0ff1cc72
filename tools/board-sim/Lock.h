#pragma once

#include "Mutex.h"
#include "ThreadSafety.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace boardsim {

// Holds a Mutex for its scope; may release and retake it in between, and
// waits on condition variables with it (released while waiting, held again
// on return).
class SIM_SCOPED_CAPABILITY Lock {
public:
    explicit Lock(Mutex& mutex) SIM_ACQUIRE(mutex) : lock(mutex.mutex) {}
    ~Lock() SIM_RELEASE() {}
    Lock(Lock const&) = delete;
    Lock& operator=(Lock const&) = delete;

    void unlock() SIM_RELEASE() { lock.unlock(); }
    void relock() SIM_ACQUIRE() { lock.lock(); }

    void wait(std::condition_variable& condition) { condition.wait(lock); }
    template <typename Clock, typename Duration>
    void waitUntil(std::condition_variable& condition,
                   std::chrono::time_point<Clock, Duration> deadline) {
        condition.wait_until(lock, deadline);
    }
    // A predicate reading guarded fields starts with the mutex's assertHeld().
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(std::condition_variable& condition, std::chrono::duration<Rep, Period> timeout,
                 Predicate ready) {
        return condition.wait_for(lock, timeout, ready);
    }

private:
    std::unique_lock<std::mutex> lock;
};

} // namespace boardsim

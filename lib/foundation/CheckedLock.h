#pragma once

#include "foundation/CheckedMutex.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

// Holds a CheckedMutex for its scope; may release and retake it in between,
// and waits on condition variables with it.
class SCOPED_CAPABILITY CheckedLock {
public:
    explicit CheckedLock(CheckedMutex& mutex) ACQUIRE(mutex) : lock(mutex.mutex) {}
    // Takes over a mutex the caller already holds (after a successful tryLock).
    CheckedLock(CheckedMutex& mutex, std::adopt_lock_t) REQUIRES(mutex)
        : lock(mutex.mutex, std::adopt_lock) {}
    ~CheckedLock() RELEASE() {}
    CheckedLock(CheckedLock const&) = delete;
    CheckedLock& operator=(CheckedLock const&) = delete;

    void unlock() RELEASE() { lock.unlock(); }
    void relock() ACQUIRE() { lock.lock(); }
    // Runs function with the mutex let go and holds it again afterwards, also
    // when function throws. The analysis still sees the mutex held: function
    // must touch nothing the mutex guards.
    template <typename Function> auto whileReleased(Function&& function) {
        lock.unlock();
        Retake retake{lock};
        return std::forward<Function>(function)();
    }

    // The mutex is released while waiting and held again on return; a
    // predicate reading guarded fields starts with the mutex's assertHeld().
    template <typename Predicate> void wait(std::condition_variable& condition, Predicate ready) {
        condition.wait(lock, ready);
    }
    void wait(std::condition_variable& condition) { condition.wait(lock); }
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(std::condition_variable& condition, std::chrono::duration<Rep, Period> timeout,
                 Predicate ready) {
        return condition.wait_for(lock, timeout, ready);
    }
    template <typename Clock, typename Duration, typename Predicate>
    bool waitUntil(std::condition_variable& condition,
                   std::chrono::time_point<Clock, Duration> deadline, Predicate ready) {
        return condition.wait_until(lock, deadline, ready);
    }
    template <typename Clock, typename Duration>
    std::cv_status waitUntil(std::condition_variable& condition,
                             std::chrono::time_point<Clock, Duration> deadline) {
        return condition.wait_until(lock, deadline);
    }

private:
    struct Retake {
        std::unique_lock<std::mutex>& lock;
        ~Retake() { lock.lock(); }
    };
    std::unique_lock<std::mutex> lock;
};

#pragma once

#include "foundation/ThreadSafety.h"

#include <mutex>

// A std::mutex that clang's thread-safety analysis knows as a capability, so
// fields declared GUARDED_BY it can only be touched while it is held. Take it
// with a CheckedLock.
class CAPABILITY("mutex") CheckedMutex {
public:
    CheckedMutex() = default;
    CheckedMutex(CheckedMutex const&) = delete;
    CheckedMutex& operator=(CheckedMutex const&) = delete;

    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }
    bool tryLock() TRY_ACQUIRE(true) { return mutex.try_lock(); }

    // Tells the analysis the mutex is held where it cannot see it: in a
    // condition variable's predicate, which runs under the caller's lock.
    void assertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class CheckedLock;
    std::mutex mutex;
};

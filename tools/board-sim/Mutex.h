#pragma once

#include "ThreadSafety.h"

#include <mutex>

namespace boardsim {

// A std::mutex that clang's thread-safety analysis knows as a capability, so
// fields declared SIM_GUARDED_BY it can only be touched while it is held.
// Taken with a Lock.
class SIM_CAPABILITY Mutex {
public:
    Mutex() = default;
    Mutex(Mutex const&) = delete;
    Mutex& operator=(Mutex const&) = delete;

    // Tells the analysis the mutex is held where it cannot see it: in a
    // condition variable's predicate, which runs under the waiter's lock.
    void assertHeld() const SIM_ASSERT_HELD(this) {}

private:
    friend class Lock;
    std::mutex mutex;
};

} // namespace boardsim

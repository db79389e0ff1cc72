#pragma once

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/ThreadSafety.h"

#include <utility>

// A value reachable only under its own mutex: with(f) runs f on it while the
// mutex is held and returns f's result by value. Nothing hands out a
// reference that outlives the call, so every access is a critical section.
template <typename T> class Guarded {
public:
    template <typename... Args>
    explicit Guarded(Args&&... args) : value(std::forward<Args>(args)...) {}
    Guarded(Guarded const&) = delete;
    Guarded& operator=(Guarded const&) = delete;

    template <typename Function> auto with(Function&& function) EXCLUDES(mutex) {
        CheckedLock lock(mutex);
        return std::forward<Function>(function)(value);
    }
    template <typename Function> auto with(Function&& function) const EXCLUDES(mutex) {
        CheckedLock lock(mutex);
        return std::forward<Function>(function)(static_cast<T const&>(value));
    }

private:
    mutable CheckedMutex mutex;
    T value GUARDED_BY(mutex);
};

#pragma once

#include <functional>
#include <map>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Semaphore.h"
#include "foundation/ThreadSafety.h"

// A typed signal: slots are connected under increasing ids and called in id
// order, synchronously on the emitting thread, while the signal's own lock is
// held. A slot must therefore never connect to, disconnect from or emit the
// signal that is calling it (the lock is not recursive).
template <typename... Args> class Signal {
public:
    using Slot = std::function<void(Args...)>;

    Signal() : emitted("", 0, 1) {}
    // Connections belong to one signal instance: a copy or a moved-to signal
    // starts empty and the source keeps its own.
    Signal(Signal const&) : Signal() {}
    Signal(Signal&&) noexcept : Signal() {}
    // Assignment keeps the target's connections and ids: the receivers
    // connected to it still hold those ids and will disconnect them.
    Signal& operator=(Signal const&) { return *this; }
    Signal& operator=(Signal&&) noexcept { return *this; }
    ~Signal() = default;

    int connect(Slot const& slot) const {
        CheckedLock lock(mutex); // released even when storing throws
        ++lastId;
        slots[lastId] = slot;
        return lastId;
    }

    // The object must outlive the connection.
    template <typename T> int connect_member(T* object, void (T::*member)(Args...)) const {
        return connect([object, member](Args... args) { (object->*member)(args...); });
    }

    // An id that is not connected changes nothing.
    void disconnect(int id) const {
        CheckedLock lock(mutex);
        slots.erase(id);
    }

    // A slot that throws ends the emission: later slots are skipped, nothing
    // is posted, the lock is released and the exception reaches the caller.
    void emit(Args... args) {
        {
            CheckedLock lock(mutex);
            for (auto const& entry : slots) {
                // A copy per call, so every slot sees the same starting state.
                Slot slot = entry.second;
                slot(args...);
            }
        }
        emitted.Post(1); // a post failing at the counter's limit is of no consequence
    }

    // Posted once after every completed emission, for callers that want to
    // wait for the next one.
    Semaphore& emittedSemaphore() { return emitted; }

private:
    mutable CheckedMutex mutex;
    mutable std::map<int, Slot> slots GUARDED_BY(mutex);
    mutable int lastId GUARDED_BY(mutex) = 0;
    Semaphore emitted;
};

#include "foundation/CheckedLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

// True when another thread can take the mutex right now.
bool freeElsewhere(CheckedMutex& mutex) {
    return std::async(std::launch::async,
                      [&mutex] {
                          if (!mutex.tryLock()) {
                              return false;
                          }
                          mutex.unlock();
                          return true;
                      })
        .get();
}

TEST(CheckedLock, HoldsItsMutexForItsScopeAndWhileRelocked) {
    CheckedMutex mutex;
    {
        CheckedLock lock(mutex);
        EXPECT_FALSE(freeElsewhere(mutex));
        lock.unlock();
        EXPECT_TRUE(freeElsewhere(mutex));
        lock.relock();
        EXPECT_FALSE(freeElsewhere(mutex));
    }
    EXPECT_TRUE(freeElsewhere(mutex));
    if (mutex.tryLock()) {
        CheckedLock adopted(mutex, std::adopt_lock);
        EXPECT_FALSE(freeElsewhere(mutex));
    } else {
        ADD_FAILURE() << "a free mutex could not be taken";
    }
    EXPECT_TRUE(freeElsewhere(mutex));
}

TEST(CheckedLock, WhileReleasedFreesTheMutexForTheCallOnlyAlsoWhenItThrows) {
    CheckedMutex mutex;
    CheckedLock lock(mutex);
    bool freeDuringCall = false;
    int const result = lock.whileReleased([&] {
        freeDuringCall = freeElsewhere(mutex);
        return 7;
    });
    EXPECT_TRUE(freeDuringCall);
    EXPECT_EQ(result, 7);
    EXPECT_FALSE(freeElsewhere(mutex));

    freeDuringCall = false;
    EXPECT_THROW(lock.whileReleased([&]() -> int {
        freeDuringCall = freeElsewhere(mutex);
        throw std::runtime_error("setter failed");
    }),
                 std::runtime_error);
    EXPECT_TRUE(freeDuringCall);
    EXPECT_FALSE(freeElsewhere(mutex)); // held again for the caller's scope
}

struct Flag {
    CheckedMutex mutex;
    std::condition_variable changed;
    bool set GUARDED_BY(mutex) = false;
};

TEST(CheckedLock, WaitReleasesTheMutexUntilThePredicateHolds) {
    Flag flag;
    std::thread setter([&flag] {
        std::this_thread::sleep_for(20ms);
        CheckedLock lock(flag.mutex); // taken while the waiter waits
        flag.set = true;
        flag.changed.notify_all();
    });
    CheckedLock lock(flag.mutex);
    bool const ready = lock.waitFor(flag.changed, 10s, [&flag] {
        flag.mutex.assertHeld();
        return flag.set;
    });
    EXPECT_TRUE(ready);
    lock.unlock();
    setter.join();
}

TEST(CheckedLock, WaitForGivesUpAtItsTimeOutWithTheMutexHeld) {
    Flag flag;
    CheckedLock lock(flag.mutex);
    auto const start = std::chrono::steady_clock::now();
    bool const ready = lock.waitFor(flag.changed, 30ms, [&flag] {
        flag.mutex.assertHeld();
        return flag.set;
    });
    EXPECT_FALSE(ready);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_FALSE(freeElsewhere(flag.mutex));
}

} // namespace

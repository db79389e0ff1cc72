#include "TimerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace boardsim {
namespace {

using namespace std::chrono_literals;

TEST(TimerQueue, RunsTasksInTimeOrder) {
    TimerQueue queue;
    std::atomic<int> order{0};
    std::atomic<int> late{0};
    std::atomic<int> early{0};
    queue.schedule(40, [&] { late = ++order; });
    queue.schedule(10, [&] { early = ++order; });
    for (int i = 0; i < 200 && order < 2; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(early, 1);
    EXPECT_EQ(late, 2);
}

// The queue's thread waits for the first task's time; cancelling erases that
// task meanwhile. The wait must not read the erased entry when it wakes.
TEST(TimerQueue, CancellingWhileTheThreadWaitsRunsNothing) {
    std::atomic<bool> ran{false};
    {
        TimerQueue queue;
        // A wide margin between the wait and the task's time: a loaded
        // machine may stall this thread for tens of milliseconds.
        queue.schedule(300, [&] { ran = true; });
        std::this_thread::sleep_for(10ms); // the thread is now waiting for the task
        queue.cancelAll();
        std::this_thread::sleep_for(350ms); // past the erased task's time
    }
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace boardsim

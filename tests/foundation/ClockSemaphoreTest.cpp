#include "foundation/Clock.h"
#include "foundation/Mutex.h"
#include "foundation/Semaphore.h"
#include "foundation/Thread.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;

long long millisSince(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

// Counts left in a semaphore, taken out without waiting.
int drain(Semaphore& semaphore) {
    int count = 0;
    while (count < 100 && semaphore.Try()) {
        ++count;
    }
    return count;
}

// Waits (bounded) until a flag set by another thread becomes true.
bool eventually(std::atomic<bool> const& flag, int milliseconds = 2000) {
    Steady::time_point const start = Steady::now();
    while (!flag && millisSince(start) < milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag;
}

} // namespace

TEST(Clock, MillisFollowsTheRealTimeClock) {
    double const now = Clock::millis();
    EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)) * 1000.0, 2000.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double const elapsed = Clock::elapsedMillis(now);
    EXPECT_GE(elapsed, 19.0);
    EXPECT_LT(elapsed, 2000.0);

    EXPECT_NEAR(static_cast<double>(Clock::seconds()), static_cast<double>(std::time(nullptr)), 1);
    long const start = static_cast<long>(Clock::seconds()) - 5;
    EXPECT_GE(Clock::elapsedSeconds(start), 5);
    EXPECT_LE(Clock::elapsedSeconds(start), 6);
}

TEST(Clock, BrokenDownTimesAreNowInLocalAndUtc) {
    struct tm local = Clock::getTime();
    struct tm utc = Clock::getTimeUTC();
    double const now = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(static_cast<double>(mktime(&local)), now, 2);
    EXPECT_NEAR(static_cast<double>(timegm(&utc)), now, 2);
}

namespace {

constexpr int SysTime = 25; // CAP_SYS_TIME

bool hasEffectiveCapability(int capability) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> capability) & 1;
        }
    }
    return true; // unknown: assume the worst
}

void dropEffectiveCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &header, data) == 0) {
        data[capability / 32].effective &= ~(1u << (capability % 32));
        syscall(SYS_capset, &header, data);
    }
}

} // namespace

TEST(Clock, RefusedSetTimeIsReportedOnStandardError) {
    // The refusal is provoked in a child that cannot set the clock; if it
    // still could, it exits without trying, so the machine's clock is never set.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t const child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipeEnds[1], STDERR_FILENO);
        close(pipeEnds[0]);
        dropEffectiveCapability(SysTime);
        if (hasEffectiveCapability(SysTime)) {
            _exit(77);
        }
        Clock::setTime(Clock::getTime());
        _exit(0);
    }
    close(pipeEnds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof(buffer))) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "cannot give up the right to set the clock";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(out, std::string("ERROR: Clock::setTime() failed : ") + std::strerror(EPERM) + "\n");
}

TEST(Mutex, ExcludesOtherThreads) {
    Mutex mutex;
    ASSERT_TRUE(mutex.lock());
    bool takenElsewhere = true;
    std::thread([&] { takenElsewhere = mutex.trylock(); }).join();
    EXPECT_FALSE(takenElsewhere);
    EXPECT_TRUE(mutex.unlock());
    std::thread([&] {
        takenElsewhere = mutex.trylock();
        mutex.unlock();
    }).join();
    EXPECT_TRUE(takenElsewhere);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                mutex.lock();
                long const seen = counter;
                std::this_thread::yield(); // widens the window a broken lock would leave
                counter = seen + 1;
                mutex.unlock();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 4 * 5000);
}

TEST(Semaphore, InitialCountIsCappedButPostsAreNot) {
    struct Case {
        unsigned initial;
        unsigned maximum;
        int expected;
    };
    for (Case const& c : std::vector<Case>{{5, 1, 1}, {0, 1, 0}, {2, 3, 2}, {3, 3, 3}, {7, 0, 0}}) {
        Semaphore semaphore("s", c.initial, c.maximum);
        EXPECT_EQ(drain(semaphore), c.expected) << c.initial << " max " << c.maximum;
    }
    Semaphore semaphore("counted", 5, 1);
    EXPECT_EQ(semaphore.GetName(), "counted");
    EXPECT_EQ(semaphore.GetMaxCount(), 1u);
    EXPECT_TRUE(semaphore.Post(3));
    EXPECT_EQ(drain(semaphore), 4);
    EXPECT_TRUE(semaphore.Post(0));
    EXPECT_EQ(drain(semaphore), 1);
}

TEST(Semaphore, UnusableSemaphoreAnswersFalse) {
    // Beyond the largest value a POSIX semaphore can hold.
    Semaphore semaphore("broken", UINT_MAX, UINT_MAX);
    EXPECT_FALSE(semaphore.Post(1));
    EXPECT_FALSE(semaphore.Try());
    EXPECT_FALSE(semaphore.Wait(0));
    EXPECT_FALSE(semaphore.Wait(10));
    EXPECT_FALSE(semaphore.Wait(-1));
    EXPECT_EQ(semaphore.GetName(), "broken");
}

TEST(Semaphore, WaitTimesOutOrTakesACount) {
    Semaphore semaphore("w", 0, 1);
    Steady::time_point start = Steady::now();
    EXPECT_FALSE(semaphore.Wait(0));
    EXPECT_FALSE(semaphore.Try());
    EXPECT_LT(millisSince(start), 20);

    start = Steady::now();
    EXPECT_FALSE(semaphore.Wait(50));
    EXPECT_GE(millisSince(start), 49);
    EXPECT_LT(millisSince(start), 1000);

    // A count already there is taken at once, whatever the limit; the largest
    // limits must still make a valid deadline.
    for (int limit : {1, 999, 1999, INT_MAX}) {
        ASSERT_TRUE(semaphore.Post(1));
        start = Steady::now();
        EXPECT_TRUE(semaphore.Wait(limit)) << limit;
        EXPECT_LT(millisSince(start), 100) << limit;
    }
}

TEST(Semaphore, WaitEndsWhenAnotherThreadPosts) {
    for (int limit : {-1, 5000}) {
        SCOPED_TRACE(limit);
        Semaphore semaphore("p", 0, 1);
        Steady::time_point const start = Steady::now();
        std::thread poster([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            semaphore.Post(1);
        });
        EXPECT_TRUE(semaphore.Wait(limit));
        EXPECT_GE(millisSince(start), 25);
        EXPECT_LT(millisSince(start), 2000);
        poster.join();
    }
}

namespace {

void ignoreSignal(int) {}

// SIGUSR1 interrupts blocking calls (no SA_RESTART) while the guard lives.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = ignoreSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &previous, nullptr); }

private:
    struct sigaction previous {};
};

} // namespace

TEST(Semaphore, InterruptedTimedWaitKeepsItsDeadline) {
    InterruptingSignal const guard;
    Semaphore semaphore("i", 0, 1);
    std::atomic<bool> done{false};
    bool result = true;
    long long waited = 0;
    std::thread waiter([&] {
        Steady::time_point const start = Steady::now();
        result = semaphore.Wait(300);
        waited = millisSince(start);
        done = true;
    });
    for (int i = 0; i < 5 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(waiter.native_handle(), SIGUSR1);
    }
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_GE(waited, 299);
}

TEST(Semaphore, InterruptedUnlimitedWaitGivesUp) {
    InterruptingSignal const guard;
    Semaphore semaphore("u", 0, 1);
    std::atomic<bool> done{false};
    bool result = true;
    std::thread waiter([&] {
        result = semaphore.Wait(-1);
        done = true;
    });
    // Signalled repeatedly, in case the first one arrives before the wait begins.
    Steady::time_point const start = Steady::now();
    while (!done && millisSince(start) < 2000) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done) {
        semaphore.Post(1); // release the waiter so the test can end
    }
    waiter.join();
    EXPECT_FALSE(result);
}

namespace {

struct Recorder {
    std::atomic<int> calls{0};
    void* seen = nullptr;
    Semaphore release{"release", 0, 1};
};

void record(void* argument) {
    Recorder* recorder = static_cast<Recorder*>(argument);
    recorder->seen = argument;
    ++recorder->calls;
}

void recordAfterRelease(void* argument) {
    static_cast<Recorder*>(argument)->release.Wait(5000);
    record(argument);
}

} // namespace

TEST(Thread, RunsFunctionWithTheConstructorsArgumentFirst) {
    Recorder given;
    Recorder other;
    Thread withOwn(record, &given);
    ASSERT_TRUE(withOwn.run(&other));
    ASSERT_TRUE(withOwn.join());
    EXPECT_EQ(given.calls, 1);
    EXPECT_EQ(other.calls, 0);

    Thread withoutOwn(record, nullptr);
    ASSERT_TRUE(withoutOwn.run(&other));
    ASSERT_TRUE(withoutOwn.join());
    EXPECT_EQ(other.seen, &other);
    EXPECT_EQ(other.calls, 1);
}

TEST(Thread, StatesAroundRunJoinAndDetach) {
    Recorder recorder;
    Thread thread(recordAfterRelease, &recorder);
    EXPECT_FALSE(thread.running());
    EXPECT_FALSE(thread.join());
    EXPECT_FALSE(thread.detach());

    ASSERT_TRUE(thread.run(nullptr));
    EXPECT_TRUE(thread.running());
    EXPECT_FALSE(thread.run(nullptr)); // one body at a time
    recorder.release.Post(1);
    EXPECT_TRUE(thread.join());
    EXPECT_FALSE(thread.running());
    EXPECT_FALSE(thread.join());
    EXPECT_EQ(recorder.calls, 1);

    // Runs again once the body has returned, joined or not.
    recorder.release.Post(1);
    ASSERT_TRUE(thread.run(nullptr));
    Steady::time_point const start = Steady::now();
    while (thread.running() && millisSince(start) < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    recorder.release.Post(1);
    ASSERT_TRUE(thread.run(nullptr));
    EXPECT_TRUE(thread.detach());
    EXPECT_FALSE(thread.detach());
    EXPECT_FALSE(thread.join());
    Steady::time_point const detachedStart = Steady::now();
    while (recorder.calls < 3 && millisSince(detachedStart) < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(recorder.calls, 3);
    while (thread.running() && millisSince(detachedStart) < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(Thread, JoinRightAfterRunAlwaysFindsTheThread) {
    for (int i = 0; i < 50; ++i) {
        Recorder recorder;
        Thread thread(record, &recorder);
        ASSERT_TRUE(thread.run(nullptr));
        ASSERT_TRUE(thread.join()) << "round " << i;
        EXPECT_EQ(recorder.calls, 1);
    }
}

namespace {

// A task that polls for its stop request, and tries to join itself.
class Poller : public Thread {
public:
    Poller() : Thread(nullptr, nullptr) {}
    void task(void*) override {
        selfJoin = join();
        while (!terminated(10) && rounds < 500) {
            ++rounds;
        }
        stopped = true;
    }

    std::atomic<int> rounds{0};
    std::atomic<bool> selfJoin{true};
    std::atomic<bool> stopped{false};
};

} // namespace

TEST(Thread, TaskPollsForItsStopRequest) {
    Poller poller;
    ASSERT_TRUE(poller.run(nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(poller.running());
    EXPECT_TRUE(poller.terminate());
    EXPECT_TRUE(eventually(poller.stopped));
    EXPECT_TRUE(poller.join());
    EXPECT_FALSE(poller.selfJoin);
    EXPECT_GT(poller.rounds, 0);
    EXPECT_LT(poller.rounds, 500);
}

TEST(Thread, EachStopRequestIsTakenOnce) {
    Thread thread(nullptr, nullptr);
    EXPECT_FALSE(thread.terminated(0));
    EXPECT_TRUE(thread.terminate());
    EXPECT_TRUE(thread.terminated(0));
    EXPECT_FALSE(thread.terminated(0));

    Steady::time_point const start = Steady::now();
    EXPECT_FALSE(thread.terminated(30));
    EXPECT_GE(millisSince(start), 29);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        thread.terminate();
    });
    EXPECT_TRUE(thread.terminated(-1));
    stopper.join();
}

TEST(Thread, SleepAndYield) {
    Steady::time_point start = Steady::now();
    Thread::sleep(30);
    EXPECT_GE(millisSince(start), 30);
    EXPECT_LT(millisSince(start), 1000);
    // Nothing to wait for: returns at once instead of sleeping for ages.
    start = Steady::now();
    Thread::sleep(0);
    Thread::sleep(-1);
    EXPECT_LT(millisSince(start), 100);
    EXPECT_TRUE(Thread::yield());
}

#include "foundation/Clock.h"
#include "foundation/Semaphore.h"

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

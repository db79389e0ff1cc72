#include "support/WriteKiller.h"

#include <csignal>
#include <random>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

// Bounds the child's loop should a kill never come.
constexpr int ChildRewrites = 100000;

} // namespace

WriteKiller::WriteKiller(std::function<void(int)> rewriteFile,
                         std::function<std::string()> checkFile)
    : rewrite(std::move(rewriteFile)), check(std::move(checkFile)) {}

std::chrono::microseconds WriteKiller::rewriteTime() {
    constexpr int samples = 5;
    auto const start = std::chrono::steady_clock::now();
    for (int i = 0; i < samples; ++i) {
        rewrite(i);
    }
    auto const spent = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::microseconds>(spent) / samples;
}

// Returns 1 when the child died of the kill, 0 when it had already ended.
int WriteKiller::round(std::chrono::microseconds maxDelay, unsigned seed) {
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t const child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        close(ready[0]);
        for (int i = 0; i < ChildRewrites; ++i) {
            rewrite(i);
            if (i == 0) {
                char const byte = 1;
                (void)!::write(ready[1], &byte, 1);
                close(ready[1]);
            }
        }
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);
    close(ready[0]);

    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay(0, maxDelay.count());
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 1 : 0;
}

WriteKiller::Outcome WriteKiller::run(int rounds, std::chrono::milliseconds budget) {
    Outcome outcome;
    auto const maxDelay = 2 * rewriteTime() + std::chrono::microseconds(100);
    if (std::string fault = check(); !fault.empty()) {
        outcome.fault = "before any kill: " + fault;
        return outcome;
    }
    auto const deadline = std::chrono::steady_clock::now() + budget;
    std::random_device seeds;
    for (int i = 0; i < rounds && std::chrono::steady_clock::now() < deadline; ++i) {
        outcome.kills += round(maxDelay, seeds());
        if (std::string fault = check(); !fault.empty()) {
            outcome.fault = "after kill " + std::to_string(outcome.kills) + ": " + fault;
            break;
        }
    }
    return outcome;
}

} // namespace testsupport

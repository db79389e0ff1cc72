#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Kills a process that keeps rewriting one file, again and again at random
// moments, and checks the file after every kill. Each round forks a child
// that calls `rewrite(i)` for i = 0, 1, 2, ... (a bounded number of times),
// waits until its first rewrite is done, sleeps a random time of up to about
// two rewrites and sends SIGKILL. `check` then sees the file as the kill left
// it and returns an empty string when it is whole, else what is wrong.
class WriteKiller {
public:
    struct Outcome {
        int kills = 0;     // rounds whose child was killed while still writing
        std::string fault; // the first fault `check` reported; empty when none
    };

    WriteKiller(std::function<void(int)> rewrite, std::function<std::string()> check);

    // Runs up to `rounds` rounds within `budget`; stops at the first fault.
    Outcome run(int rounds, std::chrono::milliseconds budget);

private:
    std::chrono::microseconds rewriteTime(); // measured in this process
    int round(std::chrono::microseconds maxDelay, unsigned seed);

    std::function<void(int)> rewrite;
    std::function<std::string()> check;
};

} // namespace testsupport

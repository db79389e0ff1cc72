#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

// Watches the process log while it lives: the log is opened with standard
// error as a second output at debug level, and standard error is read
// through a pipe, so lines that other threads write later can be waited
// for. Restores standard error when destroyed.
class LogWatch {
public:
    LogWatch();
    ~LogWatch();
    LogWatch(LogWatch const&) = delete;
    LogWatch& operator=(LogWatch const&) = delete;

    // Waits (bounded) until text has been logged at least `times` times.
    bool waitFor(std::string const& text, int timeoutMs = 5000, size_t times = 1);
    // How often text has been logged so far, every line written before the
    // call included.
    size_t count(std::string const& text);
    std::string text();

private:
    void read();
    // Waits until everything written to standard error so far is captured.
    void sync(std::unique_lock<std::mutex>& lock);
    size_t countLocked(std::string const& text) const;

    int savedStderr = -1;
    int readEnd = -1;
    std::mutex mutex; // guards captured
    std::condition_variable grown;
    std::string captured;
    int markers = 0; // guarded by mutex
    std::thread reader;
};

} // namespace testsupport

#include "support/LogWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "foundation/Log.h"

namespace testsupport {

LogWatch::LogWatch() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    std::fflush(stderr);
    savedStderr = dup(STDERR_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    readEnd = ends[0];
    reader = std::thread([this] { read(); });
    Log::open("mqtt-test", true, false);
    Log::setLevel(Log::Level::Debug);
}

LogWatch::~LogWatch() {
    if (readEnd < 0) {
        return;
    }
    Log::open("mqtt-test", false, false);
    std::fflush(stderr);
    // Closing our copy of the write end ends the reader at end of file.
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    reader.join();
    close(readEnd);
    // Keep what was logged visible in the test's output.
    std::fputs(captured.c_str(), stderr);
}

void LogWatch::read() {
    char buffer[4096];
    while (true) {
        ssize_t const got = ::read(readEnd, buffer, sizeof(buffer));
        if (got <= 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            captured.append(buffer, static_cast<size_t>(got));
        }
        grown.notify_all();
    }
}

size_t LogWatch::countLocked(std::string const& needle) const {
    size_t found = 0;
    for (size_t at = captured.find(needle); at != std::string::npos;
         at = captured.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

bool LogWatch::waitFor(std::string const& needle, int timeoutMs, size_t times) {
    std::unique_lock<std::mutex> lock(mutex);
    return grown.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return countLocked(needle) >= times; });
}

void LogWatch::sync(std::unique_lock<std::mutex>& lock) {
    // The pipe keeps order: once a marker written now has been read, so has
    // every line written before it.
    std::string const marker = "\n<logwatch " + std::to_string(++markers) + ">\n";
    if (::write(STDERR_FILENO, marker.data(), marker.size()) !=
        static_cast<ssize_t>(marker.size())) {
        return;
    }
    grown.wait_for(lock, std::chrono::seconds(2),
                   [&] { return captured.find(marker) != std::string::npos; });
    size_t const at = captured.find(marker);
    if (at != std::string::npos) {
        captured.replace(at, marker.size(), "\n");
    }
}

size_t LogWatch::count(std::string const& needle) {
    std::unique_lock<std::mutex> lock(mutex);
    sync(lock);
    return countLocked(needle);
}

std::string LogWatch::text() {
    std::unique_lock<std::mutex> lock(mutex);
    sync(lock);
    return captured;
}

} // namespace testsupport

#pragma once

#include "foundation/Log.h"

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// Captures what the process log writes while it lives, from every thread:
// the log is opened with standard error as a second output for that. Only
// one capture may live at a time.
class LogCapture {
public:
    explicit LogCapture(Log::Level level = Log::Level::Info);
    ~LogCapture();
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    // Everything logged so far; ends the capture.
    std::string text();
    // How often `line` occurs in the captured text; ends the capture.
    size_t count(std::string const& line);
    // The captured lines that hold `start`, from `start` on, in order; ends
    // the capture.
    std::vector<std::string> lines(std::string const& start);

private:
    bool capturing = true;
    std::string captured;
};

} // namespace testsupport

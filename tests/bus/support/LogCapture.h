#pragma once

#include <string>
#include <vector>

namespace bustest {

// Captures what the process log writes while it lives; the log is opened
// with standard error as a second output for that.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();

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

} // namespace bustest

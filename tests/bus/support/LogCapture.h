#pragma once

#include <string>

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

private:
    bool capturing = true;
    std::string captured;
};

} // namespace bustest

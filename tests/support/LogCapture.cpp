#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <sstream>

namespace testsupport {

LogCapture::LogCapture(Log::Level level) {
    Log::open("bm-test", true, false);
    Log::setLevel(level);
    ::testing::internal::CaptureStderr();
}

LogCapture::~LogCapture() {
    text();
    Log::open("bm-test", false, false);
}

std::string LogCapture::text() {
    if (capturing) {
        captured = ::testing::internal::GetCapturedStderr();
        capturing = false;
    }
    return captured;
}

size_t LogCapture::count(std::string const& line) {
    std::string const all = text();
    size_t found = 0;
    for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) {
        ++found;
    }
    return found;
}

std::vector<std::string> LogCapture::lines(std::string const& start) {
    std::vector<std::string> found;
    std::istringstream all(text());
    for (std::string line; std::getline(all, line);) {
        size_t const at = line.find(start);
        if (at != std::string::npos) {
            found.push_back(line.substr(at));
        }
    }
    return found;
}

} // namespace testsupport

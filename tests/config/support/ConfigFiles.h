#pragma once

#include "support/LogCapture.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <string>

namespace configtest {

// A scratch directory for a configuration file, and the log (debug level)
// captured while the test runs.
class ConfigFiles : public ::testing::Test {
protected:
    std::string path(std::string const& name) const { return dir.path(name); }
    static void writeText(std::string const& file, std::string const& text);
    // Empty when the file cannot be read.
    static std::string readText(std::string const& file);
    // Permission bits of the file; -1 when it does not exist.
    static int modeOf(std::string const& file);
    // Everything logged so far; ends the capture.
    std::string logged() { return capture.text(); }

    testsupport::ScratchDir const dir;
    testsupport::LogCapture capture{Log::Level::Debug};
};

} // namespace configtest

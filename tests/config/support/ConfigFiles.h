#pragma once

#include <gtest/gtest.h>

#include <string>

namespace configtest {

// A fresh scratch directory per test for a configuration file, removed with
// the test, plus the log captured from standard error while the test runs.
class ConfigFiles : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(std::string const& name) const { return dir + "/" + name; }
    static void writeText(std::string const& file, std::string const& text);
    // Empty when the file cannot be read.
    static std::string readText(std::string const& file);
    // Permission bits of the file; -1 when it does not exist.
    static int modeOf(std::string const& file);
    // The names in the scratch directory, sorted.
    std::string listing() const;
    // Everything logged so far; ends the capture.
    std::string logged();

    std::string dir;

private:
    bool capturing = false;
    std::string captured;
};

} // namespace configtest

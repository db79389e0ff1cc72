#pragma once

#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <string>

namespace bustest {

// A fresh directory under /tmp for the files of one test, removed with it.
class TempDir : public ::testing::Test {
protected:
    // Writes the bytes as the file name in the directory; returns its path.
    template <typename Bytes> std::string write(std::string const& name, Bytes const& bytes) {
        return scratch.write(
            name, std::string(reinterpret_cast<char const*>(bytes.data()), bytes.size()));
    }

    const testsupport::ScratchDir scratch;
    const std::string dir = scratch.path();
};

} // namespace bustest

#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace bustest {

// A fresh directory under /tmp for the files of one test, removed with it.
class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bus-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    // Writes the bytes as the file name in the directory; returns its path.
    template <typename Bytes> std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }

    std::string dir;
};

} // namespace bustest

#include "support/ScratchDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/bm-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a scratch directory");
    }
    root = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::string ScratchDir::path(std::string const& name) const {
    return root + "/" + name;
}

std::string ScratchDir::write(std::string const& name, std::string const& text) const {
    std::string const file = path(name);
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

std::string ScratchDir::read(std::string const& name) const {
    std::ifstream file(path(name), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace testsupport

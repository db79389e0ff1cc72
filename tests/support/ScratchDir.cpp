#include "support/ScratchDir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

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

std::string ScratchDir::listing() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (auto const& entry : std::filesystem::directory_iterator(root, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (auto const& name : names) {
        all += (all.empty() ? "" : " ") + name;
    }
    return all;
}

} // namespace testsupport

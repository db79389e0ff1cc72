#include "support/ScratchFile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fuzzsupport {

ScratchFile::ScratchFile(std::string const& name) {
    char pattern[] = "/dev/shm/bm-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a scratch directory");
    }
    root = pattern;
    file = root + "/" + name;
}

ScratchFile::~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void ScratchFile::write(uint8_t const* data, size_t size) const {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(data), static_cast<std::streamsize>(size));
}

} // namespace fuzzsupport

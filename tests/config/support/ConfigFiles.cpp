#include "support/ConfigFiles.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

namespace configtest {

void ConfigFiles::writeText(std::string const& file, std::string const& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::string ConfigFiles::readText(std::string const& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int ConfigFiles::modeOf(std::string const& file) {
    struct stat info;
    return stat(file.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

} // namespace configtest

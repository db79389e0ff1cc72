#include "support/ConfigFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

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

std::string ConfigFiles::listing() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.path().c_str())) {
        while (dirent* entry = readdir(d)) {
            std::string const name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (auto const& name : names) {
        all += (all.empty() ? "" : " ") + name;
    }
    return all;
}

} // namespace configtest

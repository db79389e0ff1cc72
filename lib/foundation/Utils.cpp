#include "foundation/Utils.h"

#include <dirent.h>
#include <libgen.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iomanip>

namespace {

// The directory bit of st_mode; block devices and sockets carry it too.
constexpr mode_t DirectoryBit = 0x4000;

bool hasDirectoryBit(std::string const& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & DirectoryBit) != 0;
}

std::string::size_type lastSeparator(std::string const& path) {
    return path.find_last_of("/\\");
}

// Appends the entries whose directory bit equals wantDirectories.
bool listEntries(std::string const& directory, std::list<std::string>& out,
                 std::string const& pattern, bool wantDirectories) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string const name = entry->d_name;
        if (name[0] == '.') {
            continue;
        }
        std::string const path = Utils::combinePath(directory, name);
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            continue;
        }
        if (((info.st_mode & DirectoryBit) != 0) != wantDirectories) {
            continue;
        }
        if (!pattern.empty() && !Utils::match(name, pattern)) {
            continue;
        }
        out.push_back(path);
    }
    closedir(dir);
    return true;
}

bool matchFrom(std::string const& text, std::size_t t, std::string const& pattern, std::size_t p) {
    for (; p < pattern.size(); ++p, ++t) {
        char const wanted = pattern[p];
        if (wanted == '*') {
            if (p + 1 == pattern.size() || t == text.size()) {
                return true;
            }
            for (std::size_t from = t; from < text.size(); ++from) {
                if (matchFrom(text, from, pattern, p + 1)) {
                    return true;
                }
            }
            return false;
        }
        if (t == text.size()) {
            return false;
        }
        if (wanted != '?' && wanted != text[t]) {
            return false;
        }
    }
    return t == text.size();
}

} // namespace

std::string Utils::getAppPath() {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): getauxval returns the address as an integer.
    char const* executed = reinterpret_cast<char const*>(getauxval(AT_EXECFN));
    if (executed == nullptr) {
        return std::string();
    }
    // dirname may modify its argument: work on a copy.
    std::string copy = executed;
    char* resolved = realpath(dirname(&copy[0]), nullptr);
    if (resolved == nullptr) {
        return std::string();
    }
    std::string directory = resolved;
    std::free(resolved);
    return directory;
}

std::string Utils::combinePath(std::string const& first, std::string const& second) {
    std::string tail = (!second.empty() && second[0] == '/') ? second.substr(1) : second;
    if (first.empty()) {
        return tail;
    }
    if (second.empty()) {
        return first;
    }
    return first.back() == '/' ? first + tail : first + '/' + tail;
}

std::string Utils::getFilenameFromFilepath(std::string const& path) {
    std::string::size_type const separator = lastSeparator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string Utils::getPathFromFilepath(std::string const& path) {
    std::string::size_type const separator = lastSeparator(path);
    return separator == std::string::npos ? path : path.substr(0, separator);
}

std::string Utils::getFileExtension(std::string const& path) {
    std::string::size_type const dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string Utils::changeFileExt(std::string const& path, std::string const& extension) {
    return path.substr(0, path.rfind('.')) + extension;
}

bool Utils::match(std::string const& text, std::string const& pattern) {
    return matchFrom(text, 0, pattern, 0);
}

bool Utils::listFilesInDir(std::string const& directory, std::list<std::string>& out,
                           std::string const& pattern) {
    return listEntries(directory, out, pattern, false);
}

bool Utils::listDirectoriesInDir(std::string const& directory, std::list<std::string>& out,
                                 std::string const& pattern) {
    return listEntries(directory, out, pattern, true);
}

std::list<std::string> Utils::listFiles(std::string const& directory, std::string const& pattern) {
    std::list<std::string> files;
    listFilesInDir(directory, files, pattern);
    return files;
}

std::list<std::string> Utils::listDirectories(std::string const& directory,
                                              std::string const& pattern) {
    std::list<std::string> directories;
    listDirectoriesInDir(directory, directories, pattern);
    return directories;
}

bool Utils::fileExists(std::string const& path) {
    return access(path.c_str(), F_OK) == 0;
}

bool Utils::pathExists(std::string const& path) {
    return hasDirectoryBit(path);
}

bool Utils::isSymlink(std::string const& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFLNK;
}

std::string Utils::readSymlink(std::string const& path) {
    char target[1024];
    ssize_t const length = readlink(path.c_str(), target, sizeof(target));
    return length < 0 ? path : std::string(target, static_cast<std::size_t>(length));
}

bool Utils::deleteFile(std::string const& path) {
    return unlink(path.c_str()) == 0;
}

bool Utils::moveFile(std::string const& from, std::string const& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool Utils::makePath(std::string const& path) {
    if (path.empty()) {
        return false;
    }
    // Each prefix that ends before a '/' is a parent; the whole path comes last.
    std::string::size_type end = path.find('/', 1);
    while (true) {
        std::string const part = path.substr(0, end);
        if (mkdir(part.c_str(), 0777) != 0 && !(errno == EEXIST && hasDirectoryBit(part))) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        end = path.find('/', end + 1);
    }
}

std::string Utils::changeToAppPath() {
    std::string directory = getAppPath();
    if (directory.empty() || chdir(directory.c_str()) != 0) {
        return std::string();
    }
    return directory;
}

std::string Utils::getProcessId() {
    return std::to_string(getpid());
}

std::vector<unsigned char> Utils::decToBCD(int value) {
    std::vector<unsigned char> digits;
    if (value < 0) {
        return digits;
    }
    do {
        digits.insert(digits.begin(), static_cast<unsigned char>(value % 10));
        value /= 10;
    } while (value > 0);
    return digits;
}

std::ostream& Utils::printVector(std::vector<unsigned char> const& bytes, std::ostream& stream) {
    stream << std::dec << "Size : " << bytes.size() << std::endl;
    stream << std::hex << std::setfill('0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        stream << std::setw(2) << static_cast<unsigned>(bytes[i]) << ' ';
        if ((i + 1) % 16 == 0 && i + 1 < bytes.size()) {
            stream << std::endl;
        }
    }
    stream << std::dec << std::endl;
    return stream;
}

#include "engine/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

bool writeAll(int fd, char const* data, size_t size) {
    size_t written = 0;
    while (written < size) {
        ssize_t const n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool AtomicFile::write(std::string const& path, char const* data, size_t size) {
    std::string const temporary = path + ".tmp";
    int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, data, size) && ::fsync(fd) == 0;
    int reason = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        reason = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        errno = reason;
    }
    return ok;
}

bool AtomicFile::write(std::string const& path, std::string const& content) {
    return write(path, content.data(), content.size());
}

} // namespace velt::ZRV480::BoardManager::Manager

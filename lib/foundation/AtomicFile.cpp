#include "foundation/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, std::string_view content) {
    size_t written = 0;
    while (written < content.size()) {
        ssize_t const n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO; // no progress and no reason given
            }
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

std::string directoryOf(std::string const& path) {
    size_t const slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool AtomicFile::write(std::string const& path, std::string_view content, mode_t mode) {
    std::string const temporary = path + ".tmp";
    // A temporary left by a crash is made anew rather than reused, so that
    // neither its mode nor a link put in its place carries over.
    ::unlink(temporary.c_str());
    int const fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, content) && ::fsync(fd) == 0;
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
        return false;
    }
    // The file is in place; a directory that cannot be flushed only leaves
    // the rename to the next flush of the system.
    int const dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

#include "foundation/AtomicFile.h"

#include "foundation/Guarded.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <vector>

namespace {

// Symbolic links followed at most before a path counts as a loop.
constexpr int MaxLinks = 40;

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

// The process's umask as the kernel reports it: reading it through umask()
// would change it for a moment under the other threads.
std::optional<mode_t> currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
        }
    }
    return std::nullopt;
}

// True when reading the open file to its end gives exactly `content`.
bool holdsExactly(int fd, std::string_view content) {
    size_t offset = 0;
    char buffer[4096];
    for (;;) {
        ssize_t const n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 && offset == content.size();
        }
        auto const size = static_cast<size_t>(n);
        if (content.substr(offset, size) != std::string_view(buffer, size)) {
            return false;
        }
        offset += size;
    }
}

// A file as this process last flushed it: while it still is that file,
// unchanged, its content is on disk and flushing it again gains nothing.
// A caller that saves the same state again and again (once per board
// brought up) would otherwise wait for the disk each time.
struct Flushed {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
};

bool operator==(timespec const& a, timespec const& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

Flushed flushedAs(struct stat const& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

bool operator==(Flushed const& a, Flushed const& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified == b.modified && a.changed == b.changed;
}

// By path, the files this process flushed.
Guarded<std::map<std::string, Flushed>>& flushedFiles() {
    static Guarded<std::map<std::string, Flushed>> files;
    return files;
}

void rememberFlushed(std::string const& path, struct stat const& info) {
    flushedFiles().with([&](std::map<std::string, Flushed>& files) {
        files.insert_or_assign(path, flushedAs(info));
    });
}

void forgetFlushed(std::string const& path) {
    flushedFiles().with([&](std::map<std::string, Flushed>& files) { files.erase(path); });
}

bool stillAsFlushed(std::string const& path, struct stat const& info) {
    return flushedFiles().with([&](std::map<std::string, Flushed> const& files) {
        auto const found = files.find(path);
        return found != files.end() && found->second == flushedAs(info);
    });
}

// True when the file already is what a write would make of it: a regular
// file of this user with no other link, the mode a new file gets and this
// content, with no temporary beside it. Then it is flushed, unless it is
// still the file this process flushed, and left in place; rewriting it would
// cost two flushes and a rename for nothing.
bool alreadyWritten(std::string const& path, std::string const& temporary, std::string_view content,
                    mode_t mode) {
    struct stat info {};
    if (::lstat(temporary.c_str(), &info) == 0 || errno != ENOENT) {
        return false;
    }
    std::optional<mode_t> const mask = currentUmask();
    int const fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !mask) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                info.st_nlink == 1 && (info.st_mode & 07777) == (mode & ~*mask & 07777) &&
                static_cast<size_t>(info.st_size) == content.size();
    if (same) {
        same = holdsExactly(fd, content);
    }
    if (same && !stillAsFlushed(path, info)) {
        same = ::fsync(fd) == 0;
        if (same) {
            rememberFlushed(path, info);
        }
    }
    ::close(fd);
    return same;
}

// Writes and renames as AtomicFile::write says; with `exactMode` the file
// gets that mode, the umask notwithstanding.
bool writeFile(std::string const& path, std::string_view content, mode_t mode,
               std::optional<mode_t> exactMode) {
    std::string const temporary = path + ".tmp";
    int const saved = errno;
    if (alreadyWritten(path, temporary, content, mode)) {
        errno = saved;
        return true;
    }
    forgetFlushed(path);
    // A temporary left by a crash is made anew rather than reused, so that
    // neither its mode nor a link put in its place carries over.
    ::unlink(temporary.c_str());
    int const fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    bool ok =
        (!exactMode || ::fchmod(fd, *exactMode) == 0) && writeAll(fd, content) && ::fsync(fd) == 0;
    int reason = errno;
    struct stat written {};
    bool const known = ok && ::fstat(fd, &written) == 0;
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
    bool const renameFlushed = dir >= 0 && ::fsync(dir) == 0;
    if (dir >= 0) {
        ::close(dir);
    }
    // The rename changed the file's status time: remembered as it is now,
    // provided it still is the file flushed above, its content untouched.
    struct stat placed {};
    if (known && renameFlushed && ::lstat(path.c_str(), &placed) == 0 &&
        placed.st_dev == written.st_dev && placed.st_ino == written.st_ino &&
        placed.st_size == written.st_size && placed.st_mtim == written.st_mtim) {
        rememberFlushed(path, placed);
    }
    return true;
}

// The file that `path` ends at once every symbolic link is followed: the
// path itself when it is no link or names nothing (yet). False with ELOOP
// or ENAMETOOLONG.
bool followLinks(std::string const& path, std::string& target) {
    target = path;
    std::vector<char> buffer(PATH_MAX);
    for (int hop = 0; hop < MaxLinks; ++hop) {
        ssize_t const size = ::readlink(target.c_str(), buffer.data(), buffer.size());
        if (size < 0) {
            return true; // no link: what the file is, the next steps find out
        }
        if (static_cast<size_t>(size) == buffer.size()) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::string const link(buffer.data(), static_cast<size_t>(size));
        target = link.front() == '/' ? link : directoryOf(target).append("/").append(link);
    }
    errno = ELOOP;
    return false;
}

// Checks that `target` may be replaced: no file yet, or a regular file that
// this process may open for writing, whose mode goes into `kept`. Opening
// it without truncating leaves its content as it is.
bool checkTarget(std::string const& target, std::optional<mode_t>& kept) {
    int const fd =
        ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    struct stat info {};
    bool const regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular) {
        errno = EINVAL;
        return false;
    }
    kept = info.st_mode & 07777;
    return true;
}

// The target of `path` once it passed checkTarget.
bool replaceableTarget(std::string const& path, std::string& target, std::optional<mode_t>& kept) {
    return followLinks(path, target) && checkTarget(target, kept);
}

} // namespace

bool AtomicFile::write(std::string const& path, std::string_view content, mode_t mode) {
    return writeFile(path, content, mode, std::nullopt);
}

bool AtomicFile::replace(std::string const& path, std::string_view content, mode_t mode) {
    std::string target;
    std::optional<mode_t> kept;
    return replaceableTarget(path, target, kept) && writeFile(target, content, mode, kept);
}

bool AtomicFile::replaceable(std::string const& path) {
    std::string target;
    std::optional<mode_t> kept;
    if (!replaceableTarget(path, target, kept)) {
        return false;
    }
    // A name of its own: the temporary of a write in progress stays alone.
    static std::atomic<unsigned> counter{0};
    std::string const probe =
        target + ".probe." + std::to_string(::getpid()) + "." + std::to_string(++counter);
    int const fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

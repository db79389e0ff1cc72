#include "config/KeptCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace velt::ZRV480::BoardManager::Config {

namespace {

// Enough for years of unusable files; beyond it nothing more is kept.
constexpr int MaxCopies = 1000;

int writeNew(std::string const& name, std::string const& text) {
    int const fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    size_t done = 0;
    int error = 0;
    while (done < text.size() && error == 0) {
        ssize_t const written = ::write(fd, text.data() + done, text.size() - done);
        if (written > 0) {
            done += size_t(written);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    close(fd);
    if (error != 0) {
        unlink(name.c_str()); // a partial copy is no copy; the name stays free
    }
    return error;
}

} // namespace

KeptCopy::Result KeptCopy::moveAside(std::string const& path) {
    return firstFree(path, [&path](std::string const& name) {
        return renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0
                   ? 0
                   : errno;
    });
}

KeptCopy::Result KeptCopy::write(std::string const& path, std::string const& text) {
    return firstFree(path, [&text](std::string const& name) { return writeNew(name, text); });
}

KeptCopy::Result KeptCopy::firstFree(std::string const& path,
                                     std::function<int(std::string const&)> const& attempt) {
    Result result{false, path + ".bad", 0};
    for (int number = 0; number < MaxCopies; ++number) {
        result.name = path + ".bad" + (number == 0 ? "" : "." + std::to_string(number));
        result.error = attempt(result.name);
        if (result.error != EEXIST) {
            result.kept = result.error == 0;
            return result;
        }
    }
    return result;
}

} // namespace velt::ZRV480::BoardManager::Config

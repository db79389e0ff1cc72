#include "config/KeptCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/AtomicFile.h"

namespace velt::ZRV480::BoardManager::Config {

namespace {

// Enough for years of unusable files; beyond it nothing more is kept.
constexpr int MaxCopies = 1000;

// Renames `from` to a name only where nothing has it yet: 0 or the errno.
std::function<int(std::string const&)> renameTo(std::string const& from) {
    return [from](std::string const& name) {
        return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0
                   ? 0
                   : errno;
    };
}

} // namespace

KeptCopy::Result KeptCopy::moveAside(std::string const& path) {
    return firstFree(path, renameTo(path));
}

KeptCopy::Result KeptCopy::write(std::string const& path, std::string const& text) {
    // Written whole beside the file first, so that a kept copy is never a
    // partial one, then moved to its name.
    std::string const staged = path + ".keeping";
    if (!AtomicFile::write(staged, text, 0600)) {
        return {false, staged, errno};
    }
    Result result = firstFree(path, renameTo(staged));
    if (!result.kept) {
        unlink(staged.c_str());
    }
    return result;
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

#pragma once

#include <functional>
#include <string>

namespace velt::ZRV480::BoardManager::Config {

// What the operator wrote, kept beside the configuration file under the first
// free name of "<path>.bad", "<path>.bad.1", "<path>.bad.2", ...: a kept copy
// is never replaced by a later one.
class KeptCopy {
public:
    struct Result {
        bool kept;
        std::string name; // the name taken, or the one that could not be
        int error;        // errno when not kept
    };

    // Moves the file to that name.
    static Result moveAside(std::string const& path);
    // Writes text there as a new file of mode 0600 (it may hold the broker
    // password), flushed to disk.
    static Result write(std::string const& path, std::string const& text);

private:
    // Tries the names in turn while the one tried exists; attempt gives 0
    // or an errno.
    static Result firstFree(std::string const& path,
                            std::function<int(std::string const&)> const& attempt);
};

} // namespace velt::ZRV480::BoardManager::Config

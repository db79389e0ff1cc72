#pragma once

#include <cstddef>
#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// Replaces a file whole: the content goes to a temporary file beside it,
// which is flushed to disk and renamed over the file. A failed write leaves
// the old file as it was and errno tells why. Callers serialise writes of
// the same file.
class AtomicFile {
public:
    static bool write(std::string const& path, char const* data, size_t size);
    static bool write(std::string const& path, std::string const& content);
};

} // namespace velt::ZRV480::BoardManager::Manager

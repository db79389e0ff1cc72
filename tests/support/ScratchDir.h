#pragma once

#include <string>

namespace testsupport {

// A fresh directory under /tmp for the files of one test, removed with
// everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;

    std::string const& path() const { return root; }
    // The path of `name` inside the directory.
    std::string path(std::string const& name) const;
    // Writes `text` as the file `name`; returns its path.
    std::string write(std::string const& name, std::string const& text) const;
    // The whole content of the file `name` (empty when it cannot be read).
    std::string read(std::string const& name) const;
    // The names in the directory, sorted, blank-separated.
    std::string listing() const;

private:
    std::string root;
};

} // namespace testsupport

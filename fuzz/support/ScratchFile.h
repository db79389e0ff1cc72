#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A file in memory-backed /dev/shm that a target rewrites with each input,
// for code that reads its input from a path; removed at exit.
class ScratchFile {
public:
    explicit ScratchFile(std::string const& name);
    ~ScratchFile();
    ScratchFile(ScratchFile const&) = delete;
    ScratchFile& operator=(ScratchFile const&) = delete;

    std::string const& path() const { return file; }
    std::string const& dir() const { return root; }
    void write(uint8_t const* data, size_t size) const;

private:
    std::string root;
    std::string file;
};

} // namespace fuzzsupport

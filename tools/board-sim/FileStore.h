#pragma once

#include "Answer.h"
#include "Scenario.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace boardsim {

struct FileEntry {
    std::string name;
    size_t size = 0;
    std::string md5; // lower-case hex
};

// The main board's files, reached by handle through Misc 241.
class FileStore {
public:
    enum Result : int16_t {
        Success = 0x00,
        FileDone = 0x01,
        NotFound = 0x40,
        Format = 0x81,
        Name = 0x82,
        Size = 0x83,
        Descriptor = 0x84,
        Sequence = 0x85,
        Storage = 0x87,
    };
    static constexpr size_t SegmentSize = 128;
    static constexpr uint32_t MaxLength = 8 * 1024 * 1024;
    static constexpr size_t MaxName = 64;

    explicit FileStore(std::map<std::string, Bytes> initialFiles);

    // `payload` starts with the file sub-command; the disarm form is not a file request.
    Answer handle(Bytes const& payload, Behaviour const& behaviour, bool legacyChecksum);
    std::string summarize(Bytes const& payload) const;

    void put(std::string const& name, Bytes const& content);
    std::optional<Bytes> get(std::string const& name) const;
    bool remove(std::string const& name);
    std::vector<FileEntry> list() const;

private:
    struct Write {
        uint32_t length = 0;
        uint16_t count = 0;
        uint16_t next = 1;
        Bytes data;
    };
    struct Read {
        Bytes content;
        uint16_t count = 0;
    };

    Answer open(Bytes const& payload, OpenMissing openMissing);
    Answer write(uint8_t handle, Bytes const& payload, int16_t lastResult);
    Answer read(uint8_t handle, Bytes const& payload, int16_t lastResult);
    Answer remove(uint8_t handle);
    Answer checksum(uint8_t handle);
    std::string const* nameOf(uint8_t handle) const;
    static uint64_t segmentCount(uint64_t length);

    std::map<std::string, Bytes> files;
    std::map<std::string, uint8_t> handles;
    std::map<uint8_t, std::string> names;
    std::map<uint8_t, Write> writes;
    std::map<uint8_t, Read> reads;
};

} // namespace boardsim

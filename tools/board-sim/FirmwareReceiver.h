#pragma once

#include "FaultRule.h"

#include <cstdint>
#include <optional>

namespace boardsim {

// A bootloader's side of a firmware upload: a header, then segments 1..count.
class FirmwareReceiver {
public:
    enum Result : int16_t {
        Ok = 0x00,
        Commit = 0x01,
        SizeError = 0x82,
        SequenceError = 0x83,
        TransferError = 0x84,
        StorageError = 0x85,
    };

    struct Step {
        int16_t result = Ok;
        bool headerAccepted = false; // a new upload was recorded
        std::optional<Bytes> image;  // set on commit
    };

    // `payload` is the whole request payload, sub-command 0 included, at least 3 bytes.
    Step receive(Bytes const& payload, uint32_t capacity);
    void reset() { uploadActive = false; }

    bool receiving() const { return uploadActive; }
    uint32_t length() const { return imageLength; }
    uint32_t crc() const { return imageCrc; }
    uint16_t count() const { return segmentCount; }

    static constexpr size_t SegmentSize = 128;
    static constexpr size_t HeaderSize = 13;

private:
    bool uploadActive = false;
    uint32_t imageLength = 0;
    uint32_t imageCrc = 0;
    uint16_t segmentCount = 0;
    uint16_t next = 0;
    Bytes image;
};

} // namespace boardsim

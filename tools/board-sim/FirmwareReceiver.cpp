#include "FirmwareReceiver.h"

#include "Crc32.h"
#include "LittleEndian.h"

#include <algorithm>

namespace boardsim {

FirmwareReceiver::Step FirmwareReceiver::receive(Bytes const& payload, uint32_t capacity) {
    Step step;
    const uint16_t index = LittleEndian::get16(payload, 1);
    if (index == 0 && payload.size() == HeaderSize) {
        // The sender restarts its passes from the header, so a header always starts over.
        uploadActive = false;
        const uint32_t length = LittleEndian::get32(payload, 3);
        const uint16_t count = LittleEndian::get16(payload, 11);
        if (count != (uint64_t(length) + SegmentSize - 1) / SegmentSize) {
            step.result = SizeError;
        } else if (length > capacity) {
            step.result = StorageError;
        } else {
            imageLength = length;
            imageCrc = LittleEndian::get32(payload, 7);
            segmentCount = count;
            next = 1;
            image.clear();
            uploadActive = count > 0;
            step.headerAccepted = true;
        }
        return step;
    }
    if (!uploadActive || index != next) {
        step.result = SequenceError;
        return step;
    }
    const size_t expected =
        std::min<size_t>(SegmentSize, imageLength - size_t(index - 1) * SegmentSize);
    if (payload.size() - 3 != expected) {
        step.result = SizeError;
        return step;
    }
    image.insert(image.end(), payload.begin() + 3, payload.end());
    ++next;
    if (index < segmentCount) {
        return step;
    }
    uploadActive = false;
    if (Crc32::upload(image) == imageCrc) {
        step.result = Commit;
        step.image = std::move(image);
    } else {
        step.result = TransferError;
    }
    image.clear();
    return step;
}

} // namespace boardsim

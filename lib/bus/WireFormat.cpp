#include "bus/WireFormat.h"

#include "bus/Protocol.h"

#include <algorithm>

namespace velt::ZRV480::Bus {

uint16_t uint16At(std::vector<uint8_t> const& bytes, std::size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

uint32_t uint32At(std::vector<uint8_t> const& bytes, std::size_t offset) {
    return static_cast<uint32_t>(uint16At(bytes, offset)) |
           static_cast<uint32_t>(uint16At(bytes, offset + 2)) << 16;
}

int32_t int32At(std::vector<uint8_t> const& bytes, std::size_t offset) {
    return static_cast<int32_t>(uint32At(bytes, offset));
}

void uint16Append(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void uint32Append(std::vector<uint8_t>& bytes, uint32_t value) {
    uint16Append(bytes, static_cast<uint16_t>(value));
    uint16Append(bytes, static_cast<uint16_t>(value >> 16));
}

bool segmentCount(std::size_t length, uint16_t& count) {
    std::size_t segments = (length + Protocol::SegmentSize - 1) / Protocol::SegmentSize;
    if (segments > UINT16_MAX) {
        return false;
    }
    count = static_cast<uint16_t>(segments);
    return true;
}

void segmentAppend(std::vector<uint8_t>& payload, std::vector<uint8_t> const& data, uint32_t k) {
    std::size_t begin = (k - 1) * Protocol::SegmentSize;
    std::size_t end = std::min(begin + Protocol::SegmentSize, data.size());
    payload.insert(payload.end(), data.begin() + begin, data.begin() + end);
}

float segmentPercent(uint32_t k, uint16_t count) {
    return static_cast<float>(k) / static_cast<float>(count) * 100.0f;
}

} // namespace velt::ZRV480::Bus

#include "Crc32.h"

#include <array>

namespace boardsim {

namespace {

std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

} // namespace

uint32_t Crc32::update(uint32_t crc, Bytes const& data) {
    static const std::array<uint32_t, 256> table = makeTable();
    for (uint8_t byte : data) {
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

uint32_t Crc32::standard(Bytes const& data) {
    return ~update(0xFFFFFFFFu, data);
}

uint32_t Crc32::upload(Bytes const& data) {
    return ~update(0, data);
}

} // namespace boardsim

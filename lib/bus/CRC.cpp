#include "bus/CRC.h"

namespace {

template <typename T> T reflectedBitwise(T crc, std::vector<uint8_t> const& bytes, T polynomial) {
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? T((crc >> 1) ^ polynomial) : T(crc >> 1);
        }
    }
    return crc;
}

constexpr std::array<uint32_t, 256> makeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
        table[i] = r;
    }
    return table;
}

} // namespace

const std::array<uint32_t, 256> CRC::crc32_table = makeCrc32Table();

uint32_t CRC::CRC32_update(uint32_t crc, std::vector<uint8_t> const& bytes) {
    uint32_t r = ~crc;
    for (uint8_t byte : bytes) {
        r = (r >> 8) ^ crc32_table[(r ^ byte) & 0xFF];
    }
    return ~r;
}

uint16_t CRC::CRC16_update(uint16_t crc, std::vector<uint8_t> const& bytes) {
    return reflectedBitwise<uint16_t>(crc, bytes, 0x8408);
}

uint8_t CRC::CRC8_update(uint8_t crc, std::vector<uint8_t> const& bytes) {
    return reflectedBitwise<uint8_t>(crc, bytes, 0x8C);
}

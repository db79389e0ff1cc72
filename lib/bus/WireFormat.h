#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How numbers and long data travel in the payload of a bus frame: numbers
// little-endian, data of a file transfer or firmware upload in numbered
// segments of Protocol::SegmentSize bytes, from 1 (segment 0 is the header).
namespace velt::ZRV480::Bus {

// Readers throw std::out_of_range when the bytes end before the number.
uint16_t uint16At(std::vector<uint8_t> const& bytes, std::size_t offset);
uint32_t uint32At(std::vector<uint8_t> const& bytes, std::size_t offset);
int32_t int32At(std::vector<uint8_t> const& bytes, std::size_t offset);
void uint16Append(std::vector<uint8_t>& bytes, uint16_t value);
void uint32Append(std::vector<uint8_t>& bytes, uint32_t value);

// The number of segments of `length` bytes; false when it exceeds 16 bits.
bool segmentCount(std::size_t length, uint16_t& count);
// Appends the bytes of data segment k (from 1) of `data`.
void segmentAppend(std::vector<uint8_t>& payload, std::vector<uint8_t> const& data, uint32_t k);
// Progress after data segment k of count, in percent (single precision).
float segmentPercent(uint32_t k, uint16_t count);

} // namespace velt::ZRV480::Bus

#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// RFC 1321 context: four state words, the number of bits hashed so far
// (low word first) and the block being filled.
struct MD5Context {
    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
};

extern "C" {
void MD5_init(MD5Context* context);
void MD5_update(MD5Context* context, uint8_t const* data, uint32_t length);
// Pads, writes the digest and wipes the context.
void MD5_finish(MD5Context* context, uint8_t digest[16]);
}

namespace velt::ZRV480::Bus::Common {

class MD5 {
public:
    using Digest = std::array<uint8_t, 16>;

    static Digest calculate(std::vector<uint8_t> const& bytes);
    static Digest calculate(std::string const& text);
    // 32 lower-case hex digits in byte order.
    static std::string toString(Digest const& digest);

private:
    static Digest calculate(uint8_t const* data, size_t length);
};

} // namespace velt::ZRV480::Bus::Common

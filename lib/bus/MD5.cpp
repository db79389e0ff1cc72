#include "bus/MD5.h"

#include "bus/Helpers.h"

#include <cstring>

namespace {

uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

// Per-step shift amounts, four per round.
int const shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// T[i] = floor(abs(sin(i + 1)) * 2^32).
const uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

void transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (size_t i = 0; i < 16; ++i) {
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
               uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int const round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = F(b, c, d);
            k = i;
            break;
        case 1:
            f = G(b, c, d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = H(b, c, d);
            k = (3 * i + 5) % 16;
            break;
        default:
            f = I(b, c, d);
            k = (7 * i) % 16;
            break;
        }
        const uint32_t next = b + rotl(a + f + x[k] + T[i], shifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    std::memset(x, 0, sizeof(x));
}

void encodeLittleEndian(uint8_t* out, uint32_t const* words, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        for (int byte = 0; byte < 4; ++byte) {
            out[4 * i + byte] = uint8_t(words[i] >> (8 * byte));
        }
    }
}

} // namespace

extern "C" {

void MD5_init(MD5Context* context) {
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD5_update(MD5Context* context, uint8_t const* data, uint32_t length) {
    uint32_t index = (context->count[0] >> 3) & 0x3F;
    const uint32_t bits = length << 3;
    context->count[0] += bits;
    if (context->count[0] < bits) {
        ++context->count[1];
    }
    context->count[1] += length >> 29;

    const uint32_t room = 64 - index;
    uint32_t i = 0;
    if (length >= room) {
        std::memcpy(&context->buffer[index], data, room);
        transform(context->state, context->buffer);
        for (i = room; i + 63 < length; i += 64) {
            transform(context->state, &data[i]);
        }
        index = 0;
    }
    if (length > i) {
        std::memcpy(&context->buffer[index], &data[i], length - i);
    }
}

void MD5_finish(MD5Context* context, uint8_t digest[16]) {
    static const uint8_t padding[64] = {0x80};
    uint8_t bits[8];
    encodeLittleEndian(bits, context->count, 2);
    const uint32_t index = (context->count[0] >> 3) & 0x3F;
    const uint32_t padLength = index < 56 ? 56 - index : 120 - index;
    MD5_update(context, padding, padLength);
    MD5_update(context, bits, 8);
    encodeLittleEndian(digest, context->state, 4);
    std::memset(context, 0, sizeof(*context));
}
}

namespace velt::ZRV480::Bus::Common {

MD5::Digest MD5::calculate(uint8_t const* data, size_t length) {
    MD5Context context{};
    Digest digest{};
    MD5_init(&context);
    MD5_update(&context, data, static_cast<uint32_t>(length));
    MD5_finish(&context, digest.data());
    return digest;
}

MD5::Digest MD5::calculate(std::vector<uint8_t> const& bytes) {
    return calculate(bytes.data(), bytes.size());
}

MD5::Digest MD5::calculate(std::string const& text) {
    return calculate(reinterpret_cast<uint8_t const*>(text.data()), text.size());
}

std::string MD5::toString(Digest const& digest) {
    return Helpers::hexStr(digest, false);
}

} // namespace velt::ZRV480::Bus::Common

#include "Md5.h"

#include "Hex.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace boardsim {

std::array<uint8_t, 16> Md5::digest(Bytes const& data) {
    std::array<uint8_t, 16> out{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_md5(), nullptr) != 1 ||
        length != out.size()) {
        throw std::runtime_error("MD5 digest failed");
    }
    return out;
}

std::string Md5::hex(Bytes const& data) {
    auto const d = digest(data);
    return Hex::of(d.data(), d.size(), false);
}

} // namespace boardsim

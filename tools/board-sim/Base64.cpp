#include "Base64.h"

#include <openssl/evp.h>

namespace boardsim {

std::string Base64::encode(Bytes const& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int const n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(), int(data.size()));
    out.resize(size_t(n));
    return out;
}

std::optional<Bytes> Base64::decode(std::string const& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    Bytes out(text.size() / 4 * 3);
    int const n = EVP_DecodeBlock(out.data(), reinterpret_cast<unsigned char const*>(text.data()),
                                  int(text.size()));
    if (n < 0) {
        return std::nullopt;
    }
    // The decoder counts the padding as zero bytes.
    size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '=' && padding < 2; ++it) {
        ++padding;
    }
    out.resize(size_t(n) - padding);
    return out;
}

} // namespace boardsim

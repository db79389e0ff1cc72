#include "device/AddressText.h"

#include <cctype>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager::AddressText {

namespace {

constexpr size_t Octets = 4;
constexpr size_t MaxDigits = 3;
constexpr unsigned MaxOctet = 255;

// Splits at every '.', keeping empty parts.
std::vector<std::string> splitParts(std::string const& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == '.') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

bool allDigits(std::string const& part) {
    for (char c : part) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

template <size_t N> std::string join(std::array<uint8_t, N> const& octets, char separator) {
    std::string text;
    for (size_t i = 0; i < N; ++i) {
        if (i > 0) {
            text.push_back(separator);
        }
        text += std::to_string(octets[i]);
    }
    return text;
}

} // namespace

std::variant<Ipv4, Ipv4Error> parseIpv4(std::string const& text) {
    std::vector<std::string> const parts = splitParts(text);
    for (auto const& part : parts) {
        if (!allDigits(part)) {
            return Ipv4Error::NotNumeric;
        }
    }
    if (parts.size() != Octets) {
        return Ipv4Error::Malformed;
    }
    Ipv4 address{};
    for (size_t i = 0; i < Octets; ++i) {
        if (parts[i].empty() || parts[i].size() > MaxDigits) {
            return Ipv4Error::Malformed;
        }
        unsigned const value = static_cast<unsigned>(std::stoul(parts[i]));
        if (value > MaxOctet) {
            return Ipv4Error::Malformed;
        }
        address[i] = static_cast<uint8_t>(value);
    }
    return address;
}

std::string ipv4ToText(Ipv4 const& address) {
    return join(address, '.');
}

std::string macToText(Mac const& address) {
    return join(address, ':');
}

} // namespace velt::ZRV480::BoardManager::Manager::AddressText

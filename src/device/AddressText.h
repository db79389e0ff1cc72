#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

namespace velt::ZRV480::BoardManager::Manager::AddressText {

using Ipv4 = std::array<uint8_t, 4>;
using Mac = std::array<uint8_t, 6>;

// Why a dotted IPv4 text was refused.
enum class Ipv4Error {
    NotNumeric, // a part holds something other than decimal digits
    Malformed,  // not four parts of one to three digits, or a part above 255
};

// Exactly four '.'-separated parts of one to three decimal digits, each 0 to
// 255, read in decimal (so "010" is 10). Anything else is refused: a typo must
// not send a different address to the board.
std::variant<Ipv4, Ipv4Error> parseIpv4(std::string const& text);

// Octets in decimal without leading zeros, first octet first: "192.168.1.20".
std::string ipv4ToText(Ipv4 const& address);
// Octets in decimal, not hexadecimal, joined by ':': "0:26:43:60:77:94".
std::string macToText(Mac const& address);

} // namespace velt::ZRV480::BoardManager::Manager::AddressText

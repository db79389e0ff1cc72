#pragma once

#include <string>

namespace velt::ZRV480::Bus::Common {

// Turns display names ("Input Voltage") into the lowerCamelCase names of
// boards, slots and enumeration values ("inputVoltage"). Name characters are
// ASCII letters and the digits '1' to '8'; everything else is dropped.
class CamelCaser {
public:
    // A blank or a dropped character (other than '/') capitalises the next
    // name character; the others are lower-cased.
    static std::string convert(std::string const& text);
    // Keeps only the name characters, lower-cased; never capitalises.
    static void convert(std::string& text);
    static bool allowed(char c);
};

} // namespace velt::ZRV480::Bus::Common

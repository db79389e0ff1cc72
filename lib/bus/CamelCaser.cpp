#include "bus/CamelCaser.h"

#include <algorithm>
#include <cctype>

namespace velt::ZRV480::Bus::Common {

bool CamelCaser::allowed(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || (c >= '1' && c <= '8');
}

std::string CamelCaser::convert(std::string const& text) {
    std::string result;
    bool capitalNext = false;
    for (char c : text) {
        if (allowed(c)) {
            unsigned char const u = static_cast<unsigned char>(c);
            result += static_cast<char>(capitalNext ? std::toupper(u) : std::tolower(u));
            capitalNext = false;
        } else if (c != '/') {
            capitalNext = true;
        }
    }
    return result;
}

void CamelCaser::convert(std::string& text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return !allowed(c); }),
               text.end());
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
}

} // namespace velt::ZRV480::Bus::Common

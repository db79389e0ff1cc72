#include "foundation/String.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace {

char const* const HexDigits = "0123456789ABCDEF";

bool isBlankOrNul(char c) {
    return c == '\0' || std::isspace(static_cast<unsigned char>(c));
}

template <typename Container>
Container split(std::string const& text, std::string const& delimiters) {
    Container tokens;
    std::string::size_type start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        std::string::size_type const end = text.find_first_of(delimiters, start);
        tokens.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(delimiters, end);
    }
    return tokens;
}

int hexValue(char c) {
    char const upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int i = 0; i < 16; ++i) {
        if (HexDigits[i] == upper) {
            return i;
        }
    }
    throw std::invalid_argument("Not a hex digit!");
}

} // namespace

std::string String::format(char const* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    int const length = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (length <= 0) {
        return std::string();
    }
    if (length < static_cast<int>(sizeof(buffer))) {
        return std::string(buffer);
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

long long String::toInteger(std::string const& text, int base) {
    std::string digits = text;
    std::ios_base& (*radix)(std::ios_base&) = std::dec;
    if (base == 0) {
        if (!text.empty() && text[0] == '0') {
            if (text.size() > 1 && text[1] == 'x') {
                digits = text.substr(2);
                radix = std::hex;
            } else {
                digits = text.substr(1);
                radix = std::oct;
            }
        }
    } else if (base == 8) {
        radix = std::oct;
    } else if (base == 16) {
        radix = std::hex;
    }
    std::istringstream stream(digits);
    long long value = 0;
    // On overflow extraction stores the nearest limit; without digits, 0.
    stream >> radix >> value;
    return value;
}

std::string String::fromInteger(long long value, int base, int width, char fill) {
    std::ostringstream stream;
    if (base == 16) {
        stream << std::hex;
    }
    stream << std::setw(width) << std::setfill(fill) << value;
    return stream.str();
}

double String::toDouble(std::string const& text) {
    std::istringstream stream(text);
    double value = 0;
    stream >> value;
    return value;
}

std::string String::fromDouble(double value) {
    std::ostringstream stream;
    stream << value;
    return stream.str();
}

bool String::toBool(std::string const& text) {
    std::string const lower = toLower(text);
    return lower == "on" || lower == "true" || lower == "high" || lower == "1";
}

std::string String::fromBool(bool value) {
    return value ? "true" : "false";
}

bool String::isNumeric(std::string const& text) {
    if (text.empty()) {
        return false;
    }
    char const first = text[0];
    if (first != '+' && first != '-' && !std::isdigit(static_cast<unsigned char>(first))) {
        return false;
    }
    char* end = nullptr;
    std::strtol(text.c_str(), &end, 10);
    return *end == '\0';
}

std::list<std::string> String::tokenize(std::string const& text, std::string const& delimiters) {
    return split<std::list<std::string>>(text, delimiters);
}

std::vector<std::string> String::tokenizeV(std::string const& text, std::string const& delimiters) {
    return split<std::vector<std::string>>(text, delimiters);
}

std::string& String::toUpper(std::string& text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string& String::toLower(std::string& text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string String::toLower(std::string const& text) {
    std::string copy = text;
    return toLower(copy);
}

std::string& String::ltrim(std::string& text) {
    std::string::size_type start = 0;
    while (start < text.size() && isBlankOrNul(text[start])) {
        ++start;
    }
    text.erase(0, start);
    return text;
}

std::string& String::rtrim(std::string& text) {
    std::string::size_type end = text.size();
    while (end > 0 && isBlankOrNul(text[end - 1])) {
        --end;
    }
    text.erase(end);
    return text;
}

std::string& String::trim(std::string& text) {
    return rtrim(ltrim(text));
}

std::string& String::removeTrailingNewLineChar(std::string& text) {
    std::string::size_type const lineFeed = text.rfind('\n');
    if (lineFeed != std::string::npos) {
        text.erase(lineFeed, 1);
    }
    std::string::size_type const carriageReturn = text.rfind('\r');
    if (carriageReturn != std::string::npos) {
        text.erase(carriageReturn, 1);
    }
    return text;
}

std::string& String::removeComments(std::string& text, std::string const& markers) {
    std::string::size_type const marker = text.find_first_of(markers);
    if (marker != std::string::npos) {
        text.erase(marker);
    }
    return text;
}

std::string String::extract(std::string const& text, std::string const& start,
                            std::string const& end, unsigned long pos) {
    std::string::size_type const found = text.find_first_of(start, pos);
    if (found == std::string::npos) {
        return std::string();
    }
    std::string::size_type const from = found + start.size();
    std::string::size_type const to = text.find_first_of(end, from);
    // substr throws std::out_of_range when from lies beyond the text.
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

std::vector<unsigned char> String::fromHex(std::string const& hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("Odd length!");
    }
    std::vector<unsigned char> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::string::size_type i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(hexValue(hex[i]) * 16 + hexValue(hex[i + 1])));
    }
    return bytes;
}

std::string String::toHex(std::vector<unsigned char> const& bytes) {
    return toHex(bytes.data(), bytes.size());
}

std::string String::toHex(unsigned char const* data, unsigned long length) {
    std::string text;
    text.reserve(length * 2);
    for (unsigned long i = 0; i < length; ++i) {
        text += HexDigits[data[i] >> 4];
        text += HexDigits[data[i] & 0x0f];
    }
    return text;
}

namespace {

// How many bytes a character with this lead byte has (0: it never leads),
// and the range that its second byte must lie in: that range keeps out
// overlong forms, surrogates and code points beyond U+10FFFF.
std::size_t leadLength(unsigned char lead, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC2) {
        return 0;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
        return 3;
    }
    if (lead < 0xF5) {
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
        return 4;
    }
    return 0;
}

char const* const ReplacementCharacter = "\xEF\xBF\xBD";

} // namespace

std::string String::toValidUtf8(std::string const& text) {
    std::string valid;
    valid.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        unsigned char low = 0;
        unsigned char high = 0;
        std::size_t const length = leadLength(static_cast<unsigned char>(text[at]), low, high);
        std::size_t matched = length == 0 ? 0 : 1;
        while (matched > 0 && matched < length && at + matched < text.size()) {
            auto const next = static_cast<unsigned char>(text[at + matched]);
            if (next < low || next > high) {
                break;
            }
            low = 0x80;
            high = 0xBF;
            ++matched;
        }
        if (length != 0 && matched == length) {
            valid.append(text, at, length);
        } else {
            // The byte that broke the sequence may start the next one.
            valid += ReplacementCharacter;
            matched = std::max<std::size_t>(matched, 1);
        }
        at += matched;
    }
    return valid;
}

std::string String::clip(std::string const& text, std::size_t limit) {
    return text.size() <= limit ? text : clipHead(text.c_str(), limit, text.size());
}

std::string String::clipHead(char const* head, std::size_t limit, std::size_t size) {
    std::size_t cut = limit;
    // A continuation byte at the cut belongs to the character before it.
    while (cut > 0 && limit - cut < 3 && (static_cast<unsigned char>(head[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(head, cut) + "... (" + std::to_string(size) + " bytes)";
}

#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <vector>

// Stateless text helpers; character classes and case are those of the C locale.
class String {
public:
    // printf-style formatting; never truncates, empty on a formatting error.
    static std::string format(char const* format, ...) __attribute__((format(printf, 1, 2)));

    // Base 0 picks the radix from the text: "0x" hex, a leading '0' octal,
    // else decimal. 8 and 16 read octal and hex; any other base decimal.
    static long long toInteger(std::string const& text, int base);
    static std::string fromInteger(long long value, int base, int width, char fill);
    static double toDouble(std::string const& text);
    static std::string fromDouble(double value);
    static bool toBool(std::string const& text);
    static std::string fromBool(bool value);
    // A whole base-10 integer with an optional sign, no blanks; no range check.
    static bool isNumeric(std::string const& text);

    // Splits at any character of delimiters; empty tokens are dropped.
    static std::list<std::string> tokenize(std::string const& text, std::string const& delimiters);
    static std::vector<std::string> tokenizeV(std::string const& text,
                                              std::string const& delimiters);

    static std::string& toUpper(std::string& text);
    static std::string& toLower(std::string& text);
    static std::string toLower(std::string const& text);
    // Trimming removes white space and NUL characters.
    static std::string& ltrim(std::string& text);
    static std::string& rtrim(std::string& text);
    static std::string& trim(std::string& text);
    static std::string& removeTrailingNewLineChar(std::string& text);
    // Cuts the text at its first character that is any of markers.
    static std::string& removeComments(std::string& text, std::string const& markers);
    // The text after the first character of start (at or after pos), skipped
    // by start's full length, up to the next character of end.
    // Throws std::out_of_range when that start lies beyond the text.
    static std::string extract(std::string const& text, std::string const& start,
                               std::string const& end, unsigned long pos);

    // Throws std::invalid_argument on an odd length or a non-hex character.
    static std::vector<unsigned char> fromHex(std::string const& hex);
    // Upper-case digits, no separators.
    static std::string toHex(std::vector<unsigned char> const& bytes);
    static std::string toHex(unsigned char const* data, unsigned long length);

    // The text as valid UTF-8: each maximal invalid sequence becomes U+FFFD,
    // as the JSON library's replacing serialisation writes it; valid text
    // keeps its bytes.
    static std::string toValidUtf8(std::string const& text);
    // The head of a text from outside, for a log line: at most limit bytes,
    // cut before a character that would not fit, then "... (<size> bytes)".
    // A text within the limit is returned as it is.
    static std::string clip(std::string const& text, std::size_t limit = ClipBytes);
    // The same for a text of size bytes of which only the head is at hand:
    // it holds more than limit bytes.
    static std::string clipHead(char const* head, std::size_t limit, std::size_t size);

    static constexpr std::size_t ClipBytes = 256;
};

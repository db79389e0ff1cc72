#pragma once

#include <cstdint>
#include <string>

class VariantMap;

// One setting value, held as text with a tag that records how it was made.
// The typed readers parse the text anew on every call and never look at the
// tag; the tag decides how the value renders as JSON.
class Variant {
public:
    // The numbers are stored in the SQLite form of the settings.
    enum class Type : int32_t {
        Null = 0,
        String = 1,
        Int = 2,
        UInt = 3,
        Double = 4,
        Bool = 5,
        Map = 6
    };

    Variant();
    Variant(std::string const& text);
    // Throws std::logic_error for a null pointer.
    Variant(char const* text);
    Variant(std::string const& text, Type type);
    Variant(char value);
    Variant(unsigned char value);
    Variant(short value);
    Variant(unsigned short value);
    Variant(int value);
    Variant(unsigned int value);
    Variant(long value);
    // Values from 2^63 up are written as the negative number of the same bits;
    // toUInt() reads them back.
    Variant(unsigned long value);
    Variant(double value);
    Variant(bool value);
    // The map's JSON, compact; "null" for an empty map.
    Variant(VariantMap const& map);
    Variant(Variant const& other) = default;

    Variant& operator=(Variant const& other) = default;
    Variant& operator=(std::string const& text);
    Variant& operator=(char const* text);
    Variant& operator=(char value);
    // Assigning the two narrow unsigned kinds tags the value Int.
    Variant& operator=(unsigned char value);
    Variant& operator=(short value);
    Variant& operator=(unsigned short value);
    Variant& operator=(int value);
    Variant& operator=(unsigned int value);
    Variant& operator=(long value);
    Variant& operator=(unsigned long value);
    Variant& operator=(double value);
    Variant& operator=(bool value);
    Variant& operator=(VariantMap const& map);

    Type type() const;
    // Only the Null tag is null: an empty String is not.
    bool isNull() const;
    std::string toString() const;
    // Integers are read in automatic base ("0x" hex, leading '0' octal);
    // unreadable text gives 0, 0.0 or false.
    long toInt() const;
    unsigned long toUInt() const;
    double toDouble() const;
    // True for "on", "true", "high" and "1" in any letter case.
    bool toBool() const;
    // An empty map unless the tag is Map; invalid JSON text throws the JSON
    // library's parse error.
    VariantMap toMap() const;

    operator std::string() const;
    // The integer conversions keep the low bits of the 64-bit reading.
    operator char() const;
    operator unsigned char() const;
    operator short() const;
    operator unsigned short() const;
    operator int() const;
    operator unsigned int() const;
    operator long() const;
    operator unsigned long() const;
    operator double() const;
    operator bool() const;

private:
    std::string text;
    Type tag;
};

// Equal when tags are equal and texts are equal byte for byte.
bool operator==(Variant const& a, Variant const& b);
bool operator!=(Variant const& a, Variant const& b);

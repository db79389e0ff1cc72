#include "foundation/Variant.h"

#include <stdexcept>

#include "foundation/String.h"
#include "foundation/VariantMap.h"

static_assert(sizeof(long) == 8, "the integer kinds assume a 64-bit long");

namespace {

std::string decimal(long long value) {
    return String::fromInteger(value, 10, 1, '0');
}

std::string checkedText(char const* text) {
    if (text == nullptr) {
        throw std::logic_error("Variant: construction from a null text");
    }
    return text;
}

std::string mapText(VariantMap const& map) {
    return map.toJson().dump();
}

} // namespace

Variant::Variant() : tag(Type::Null) {}
Variant::Variant(std::string const& value) : text(value), tag(Type::String) {}
Variant::Variant(char const* value) : text(checkedText(value)), tag(Type::String) {}
Variant::Variant(std::string const& value, Type type) : text(value), tag(type) {}
Variant::Variant(char value) : text(decimal(static_cast<signed char>(value))), tag(Type::Int) {}
Variant::Variant(unsigned char value) : text(decimal(value)), tag(Type::UInt) {}
Variant::Variant(short value) : text(decimal(value)), tag(Type::Int) {}
Variant::Variant(unsigned short value) : text(decimal(value)), tag(Type::UInt) {}
Variant::Variant(int value) : text(decimal(value)), tag(Type::Int) {}
Variant::Variant(unsigned int value) : text(decimal(value)), tag(Type::UInt) {}
Variant::Variant(long value) : text(decimal(value)), tag(Type::Int) {}
Variant::Variant(unsigned long value)
    : text(decimal(static_cast<long long>(value))), tag(Type::UInt) {}
Variant::Variant(double value) : text(String::fromDouble(value)), tag(Type::Double) {}
Variant::Variant(bool value) : text(String::fromBool(value)), tag(Type::Bool) {}
Variant::Variant(VariantMap const& map) : text(mapText(map)), tag(Type::Map) {}

Variant& Variant::operator=(std::string const& value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(char const* value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(char value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(unsigned char value) {
    return *this = Variant(decimal(value), Type::Int);
}
Variant& Variant::operator=(short value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(unsigned short value) {
    return *this = Variant(decimal(value), Type::Int);
}
Variant& Variant::operator=(int value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(unsigned int value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(long value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(unsigned long value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(double value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(bool value) {
    return *this = Variant(value);
}
Variant& Variant::operator=(VariantMap const& map) {
    return *this = Variant(map);
}

Variant::Type Variant::type() const {
    return tag;
}

bool Variant::isNull() const {
    return tag == Type::Null;
}

std::string Variant::toString() const {
    return text;
}

long Variant::toInt() const {
    return String::toInteger(text, 0);
}

unsigned long Variant::toUInt() const {
    return static_cast<unsigned long>(toInt());
}

double Variant::toDouble() const {
    return String::toDouble(text);
}

bool Variant::toBool() const {
    return String::toBool(text);
}

VariantMap Variant::toMap() const {
    VariantMap map;
    if (tag == Type::Map) {
        map.fromJson(nlohmann::json::parse(text));
    }
    return map;
}

Variant::operator std::string() const {
    return text;
}
Variant::operator char() const {
    return static_cast<char>(toInt());
}
Variant::operator unsigned char() const {
    return static_cast<unsigned char>(toInt());
}
Variant::operator short() const {
    return static_cast<short>(toInt());
}
Variant::operator unsigned short() const {
    return static_cast<unsigned short>(toInt());
}
Variant::operator int() const {
    return static_cast<int>(toInt());
}
Variant::operator unsigned int() const {
    return static_cast<unsigned int>(toInt());
}
Variant::operator long() const {
    return static_cast<long>(toInt());
}
Variant::operator unsigned long() const {
    return static_cast<unsigned long>(toInt());
}
Variant::operator double() const {
    return toDouble();
}
Variant::operator bool() const {
    return toBool();
}

bool operator==(Variant const& a, Variant const& b) {
    return a.type() == b.type() && a.toString() == b.toString();
}

bool operator!=(Variant const& a, Variant const& b) {
    return !(a == b);
}

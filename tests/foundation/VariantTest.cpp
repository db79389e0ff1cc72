#include "foundation/Variant.h"
#include "foundation/VariantMap.h"
#include "support/VariantPrinters.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using Type = Variant::Type;

namespace {

struct Made {
    std::string what;
    Variant value;
    Type tag;
    std::string text;
};

void expectMade(std::vector<Made> const& cases) {
    for (Made const& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.value.type(), c.tag);
        EXPECT_EQ(c.value.toString(), c.text);
    }
}

} // namespace

TEST(Variant, ConstructorsSetTagAndText) {
    double const infinity = std::numeric_limits<double>::infinity();
    expectMade({
        {"default", Variant(), Type::Null, ""},
        {"std::string", Variant(std::string("a b")), Type::String, "a b"},
        {"char const*", Variant("text"), Type::String, "text"},
        {"empty text", Variant(""), Type::String, ""},
        {"text and type", Variant("12", Type::Double), Type::Double, "12"},
        {"any tag number", Variant("x", static_cast<Type>(9)), static_cast<Type>(9), "x"},
        {"char", Variant(static_cast<char>(-5)), Type::Int, "-5"},
        {"unsigned char", Variant(static_cast<unsigned char>(200)), Type::UInt, "200"},
        {"short", Variant(static_cast<short>(-5)), Type::Int, "-5"},
        {"unsigned short", Variant(static_cast<unsigned short>(65535)), Type::UInt, "65535"},
        {"int", Variant(-2147483647 - 1), Type::Int, "-2147483648"},
        {"unsigned int", Variant(4294967295u), Type::UInt, "4294967295"},
        {"long", Variant(-9223372036854775807L - 1), Type::Int, "-9223372036854775808"},
        {"unsigned long", Variant(42ul), Type::UInt, "42"},
        {"unsigned long at 2^64-1", Variant(18446744073709551615ul), Type::UInt, "-1"},
        {"unsigned long at 2^63", Variant(9223372036854775808ul), Type::UInt,
         "-9223372036854775808"},
        {"double 2.5", Variant(2.5), Type::Double, "2.5"},
        {"double 1.0", Variant(1.0), Type::Double, "1"},
        {"double 100", Variant(100.0), Type::Double, "100"},
        {"double pi", Variant(3.14159265), Type::Double, "3.14159"},
        {"double big", Variant(1234567.0), Type::Double, "1.23457e+06"},
        {"double small", Variant(0.00001), Type::Double, "1e-05"},
        {"negative zero", Variant(-0.0), Type::Double, "-0"},
        {"infinity", Variant(infinity), Type::Double, "inf"},
        {"true", Variant(true), Type::Bool, "true"},
        {"false", Variant(false), Type::Bool, "false"},
    });
}

TEST(Variant, AssignmentsMatchTheConstructorsButNarrowUnsignedKindsAreInt) {
    auto assigned = [](auto value) {
        Variant v("old", Type::Map);
        v = value;
        return v;
    };
    VariantMap map;
    map.set("k", Variant(1));
    expectMade({
        {"std::string", assigned(std::string("s")), Type::String, "s"},
        {"char const*", assigned("c"), Type::String, "c"},
        {"char", assigned(static_cast<char>(-5)), Type::Int, "-5"},
        {"unsigned char", assigned(static_cast<unsigned char>(200)), Type::Int, "200"},
        {"short", assigned(static_cast<short>(-7)), Type::Int, "-7"},
        {"unsigned short", assigned(static_cast<unsigned short>(60000)), Type::Int, "60000"},
        {"int", assigned(7), Type::Int, "7"},
        {"unsigned int", assigned(7u), Type::UInt, "7"},
        {"long", assigned(7L), Type::Int, "7"},
        {"unsigned long", assigned(18446744073709551615ul), Type::UInt, "-1"},
        {"double", assigned(0.5), Type::Double, "0.5"},
        {"bool", assigned(true), Type::Bool, "true"},
        {"map", assigned(map), Type::Map, "{\"k\":1}"},
        {"variant", assigned(Variant(3u)), Type::UInt, "3"},
    });
    EXPECT_NE(Variant(static_cast<unsigned char>(200)), assigned(static_cast<unsigned char>(200)));
}

TEST(Variant, NullTextIsRefused) {
    char const* none = nullptr;
    EXPECT_THROW(Variant{none}, std::logic_error);
    Variant v(5);
    EXPECT_THROW(v = none, std::logic_error);
    EXPECT_EQ(v, Variant(5));
}

TEST(Variant, ReadersParseTheTextWhateverTheTag) {
    struct Case {
        Variant value;
        long long asInt;
        unsigned long long asUInt;
        double asDouble;
        bool asBool;
    };
    std::vector<Case> const cases = {
        {Variant(), 0, 0, 0.0, false},
        {Variant(""), 0, 0, 0.0, false},
        {Variant(42), 42, 42, 42.0, false},
        {Variant(-3), -3, 18446744073709551613ull, -3.0, false},
        {Variant(2.5), 2, 2, 2.5, false},
        {Variant(1234567.0), 1, 1, 1234570.0, false},
        {Variant(0.123456789), 0, 0, 0.123457, false},
        {Variant(std::numeric_limits<double>::infinity()), 0, 0, 0.0, false},
        {Variant(true), 0, 0, 0.0, true},
        {Variant("010"), 8, 8, 10.0, false},
        {Variant("0x1F"), 31, 31, 0.0, false},
        {Variant("12abc"), 12, 12, 12.0, false},
        {Variant("1"), 1, 1, 1.0, true},
        {Variant("High"), 0, 0, 0.0, true},
        {Variant("ON"), 0, 0, 0.0, true},
        {Variant("yes"), 0, 0, 0.0, false},
        {Variant(18446744073709551615ul), -1, 18446744073709551615ull, -1.0, false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.value.toString());
        EXPECT_EQ(c.value.toInt(), c.asInt);
        EXPECT_EQ(c.value.toUInt(), c.asUInt);
        EXPECT_DOUBLE_EQ(c.value.toDouble(), c.asDouble);
        EXPECT_EQ(c.value.toBool(), c.asBool);
        EXPECT_EQ(static_cast<long>(c.value), c.asInt);
        EXPECT_EQ(static_cast<unsigned long>(c.value), c.asUInt);
        EXPECT_DOUBLE_EQ(static_cast<double>(c.value), c.asDouble);
        EXPECT_EQ(static_cast<bool>(c.value), c.asBool);
        EXPECT_EQ(static_cast<std::string>(c.value), c.value.toString());
    }
    // A reading makes a variant of the same kind again.
    EXPECT_EQ(Variant(Variant(18446744073709551615ul).toUInt()), Variant(18446744073709551615ul));
    EXPECT_EQ(Variant(Variant(-7).toInt()), Variant(-7));
}

TEST(Variant, NarrowConversionsKeepTheLowBits) {
    Variant const v("300");
    EXPECT_EQ(static_cast<char>(v), 44);
    EXPECT_EQ(static_cast<unsigned char>(v), 44);
    EXPECT_EQ(static_cast<short>(v), 300);
    EXPECT_EQ(static_cast<unsigned short>(v), 300);
    Variant const wide("4294967297"); // 2^32 + 1
    EXPECT_EQ(static_cast<int>(wide), 1);
    EXPECT_EQ(static_cast<unsigned int>(wide), 1u);
    EXPECT_EQ(static_cast<unsigned short>(Variant(-1)), 65535);
}

TEST(Variant, EqualityNeedsTagAndTextEqual) {
    EXPECT_EQ(Variant(1), Variant(1L));
    EXPECT_NE(Variant(1), Variant(1u));
    EXPECT_NE(Variant(1), Variant("1"));
    EXPECT_NE(Variant(1), Variant(1.0));
    EXPECT_NE(Variant(""), Variant());
    EXPECT_FALSE(Variant(1) != Variant(1L));
    EXPECT_TRUE(Variant().isNull());
    EXPECT_FALSE(Variant("").isNull());
}

TEST(Variant, MapKindHoldsCompactJsonInKeyOrder) {
    VariantMap map;
    map.set("c", Variant("x"));
    map.set("a/b", Variant(1));
    map.set("u", Variant("é"));
    Variant v(map);
    EXPECT_EQ(v.type(), Type::Map);
    EXPECT_EQ(v.toString(), "{\"a\":{\"b\":1},\"c\":\"x\",\"u\":\"é\"}");
    // Numbers come back with the tag of their JSON kind.
    VariantMap const back = v.toMap();
    EXPECT_EQ(back.keys(), map.keys());
    EXPECT_EQ(back["a/b"], Variant(1u));
    EXPECT_EQ(back["u"], Variant("é"));

    Variant empty{VariantMap()};
    EXPECT_EQ(empty.type(), Type::Map);
    EXPECT_EQ(empty.toString(), "null");
    EXPECT_TRUE(empty.toMap().empty());
}

TEST(Variant, ToMapOfAnArrayKeepsItsSizeEntry) {
    VariantMap const map = Variant("[5,[true]]", Type::Map).toMap();
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"0", "1/0", "1/_size", "_size"}));
    EXPECT_EQ(map["_size"], Variant(2ul));
}

TEST(Variant, ToMapOfOtherKindsIsEmptyAndOfBadJsonThrows) {
    EXPECT_TRUE(Variant(5).toMap().empty());
    EXPECT_TRUE(Variant("{\"a\":1}").toMap().empty()); // a String is not a Map
    EXPECT_THROW(Variant("{oops", Type::Map).toMap(), nlohmann::json::parse_error);
    EXPECT_THROW(Variant("{\"a\":1} x", Type::Map).toMap(), nlohmann::json::parse_error);
}

TEST(Variant, FailingMapAssignmentLeavesTheVariantUnchanged) {
    VariantMap conflicting;
    conflicting.set("a", Variant(1));
    conflicting.set("a/b", Variant(2));
    Variant v("keep");
    EXPECT_THROW(v = conflicting, nlohmann::json::type_error);
    EXPECT_EQ(v, Variant("keep"));
}

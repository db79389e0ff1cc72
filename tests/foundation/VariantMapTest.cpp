#include "foundation/VariantMap.h"
#include "support/VariantPrinters.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using nlohmann::json;
using Type = Variant::Type;

namespace {

VariantMap parsed(char const* text) {
    VariantMap map;
    map.fromJson(json::parse(text));
    return map;
}

VariantMap of(VariantMap::Entries const& entries) {
    return VariantMap(entries);
}

} // namespace

TEST(VariantMap, FromJsonFlattensWithSizesAndTagsByJsonKind) {
    VariantMap const map = parsed(R"({"a": [1, 2, {"b": true}], "c": null, "d": {},
                                      "n": -5, "f": 0.1234567, "s": "t", "u": 18446744073709551615})");
    EXPECT_EQ(map, of({{"a/0", Variant(1ul)},
                       {"a/1", Variant(2ul)},
                       {"a/2/b", Variant(true)},
                       {"a/_size", Variant(3ul)},
                       {"c", Variant()},
                       {"f", Variant(0.1234567)},
                       {"n", Variant(-5L)},
                       {"s", Variant("t")},
                       {"u", Variant(18446744073709551615ul)}}));
    EXPECT_EQ(map["f"].toString(), "0.123457");
    EXPECT_EQ(map.toJson(), json::parse(R"({"a": [1, 2, {"b": true}], "c": null, "f": 0.123457,
                                             "n": -5, "s": "t", "u": 18446744073709551615})"));
}

TEST(VariantMap, JsonRoundTrips) {
    struct Case {
        char const* document;
        char const* rebuilt;
    };
    std::vector<Case> const cases = {
        {"[10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21]",
         "[10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21]"},
        {R"({"list": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]})",
         R"({"list": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]})"},
        {"[]", "null"},
        {R"({"e": []})", R"({"e": null})"},
        {R"({"d": {}})", "null"},
        {"5", "null"},
        {R"("text")", "null"},
        {"true", "null"},
        {"null", "null"},
        {R"({"m": [[1, 2], [], [{"x": "y"}]]})", R"({"m": [[1, 2], null, [{"x": "y"}]]})"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(parsed(c.document).toJson(), json::parse(c.rebuilt));
    }
}

TEST(VariantMap, ScalarDocumentsAreOneEntryUnderTheEmptyKey) {
    EXPECT_EQ(parsed("5"), of({{"", Variant(5ul)}}));
    EXPECT_EQ(parsed(R"("s")"), of({{"", Variant("s")}}));
    EXPECT_EQ(parsed("[]"), of({{"_size", Variant(0ul)}}));
    EXPECT_TRUE(parsed("null").empty());
}

TEST(VariantMap, FromJsonReplacesTheWholeContent) {
    VariantMap map = parsed(R"({"old": 1, "kept": {"x": 1}})");
    map.fromJson(json::parse(R"({"kept": {"y": 2}})"));
    EXPECT_EQ(map, of({{"kept/y", Variant(2ul)}}));
}

TEST(VariantMap, KeysSortByteWise) {
    VariantMap map;
    for (char const* key : {"a/2", "a/10", "b", "B", "_", "1"}) {
        map[key] = Variant(1);
    }
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"1", "B", "_", "a/10", "a/2", "b"}));
}

TEST(VariantMap, StringValuesRenderAsObjectsOnlyWhenValidJson) {
    struct Case {
        char const* text;
        json rendered;
    };
    std::vector<Case> const cases = {
        {R"({"x":1})", json::parse(R"({"x": 1})")},
        {"{oops", "{oops"},
        {"{pw", "{pw"},
        {"{}", json::object()},
        {R"({"x":1} tail)", R"({"x":1} tail)"},
        {"[1]", "[1]"}, // only a leading brace is looked at
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(of({{"k", Variant(c.text)}}).toJson(), json({{"k", c.rendered}}));
    }
}

TEST(VariantMap, ConvertRendersByTag) {
    struct Case {
        Variant value;
        json rendered;
    };
    std::vector<Case> const cases = {
        {Variant("12", Type::Int), 12},
        {Variant("-3", Type::UInt), 18446744073709551613ull},
        {Variant("2.5", Type::Double), 2.5},
        {Variant("High", Type::Bool), true},
        {Variant("[1,2]", Type::Map), json::array({1, 2})},
        {Variant("text", Type::Null), nullptr},
        {Variant("1", static_cast<Type>(7)), nullptr},
        {Variant("0x10", Type::Int), 16},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.value.toString());
        EXPECT_EQ(VariantMap::convert(c.value), c.rendered);
    }
    EXPECT_THROW(VariantMap::convert(Variant("{oops", Type::Map)), json::parse_error);
}

TEST(VariantMap, SetFlattensMapValuesBelowTheKey) {
    VariantMap map;
    map.set("x", Variant(0));
    map.set("x", Variant(R"({"p": 1, "q": [true]})", Type::Map));
    EXPECT_EQ(map, of({{"x", Variant(0)},
                       {"x/p", Variant(1ul)},
                       {"x/q/0", Variant(true)},
                       {"x/q/_size", Variant(1ul)}}));

    map.set("y", Variant("null", Type::Map));
    map.set("y", Variant("{}", Type::Map));
    EXPECT_FALSE(map.exists("y"));
    EXPECT_THROW(map.set("z", Variant("{bad", Type::Map)), json::parse_error);
    EXPECT_EQ(map.size(), 4u);
}

TEST(VariantMap, GetReturnsTheEntryOrGathersWhatLiesBelow) {
    VariantMap const map = of({{"a", Variant(1)},
                               {"a/b", Variant(2)},
                               {"t/b/c", Variant(1)},
                               {"t/b/d", Variant(2)},
                               {"list/0", Variant(5)},
                               {"list/1", Variant(6)},
                               {"list/_size", Variant(2ul)},
                               {"tb", Variant(9)}});
    struct Case {
        char const* key;
        Variant expected;
    };
    std::vector<Case> const cases = {
        {"a", Variant(1)},
        {"t/b", Variant(R"({"c":1,"d":2})", Type::Map)},
        {"t", Variant(R"({"b":{"c":1,"d":2}})", Type::Map)},
        {"list", Variant("[5,6]", Type::Map)},
        {"missing", Variant()},
        {"t/", Variant()},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(map.get(c.key), c.expected);
    }
}

TEST(VariantMap, EraseRemovesTheSubtreeOnly) {
    VariantMap map = of({{"a", Variant(1)},
                         {"a/b", Variant(2)},
                         {"a/b/c", Variant(3)},
                         {"ab", Variant(4)},
                         {"a_b", Variant(5)},
                         {"a.b", Variant(6)}});
    map.erase("a");
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"a.b", "a_b", "ab"}));
    map.erase("nothing");
    EXPECT_EQ(map.size(), 3u);
}

TEST(VariantMap, MergeAddsOnlyAbsentKeys) {
    VariantMap map = of({{"k", Variant(9)}});
    map.merge(of({{"k", Variant(1)}, {"n", Variant(2)}}));
    EXPECT_EQ(map, of({{"k", Variant(9)}, {"n", Variant(2)}}));
}

TEST(VariantMap, IndexOperators) {
    VariantMap map;
    VariantMap const& constant = map;
    try {
        constant["zz"];
        FAIL() << "no exception";
    } catch (std::out_of_range const& e) {
        EXPECT_STREQ(e.what(), "Key not found: zz");
    }
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(map["zz"].isNull());
    EXPECT_TRUE(map.exists("zz"));
    map["zz"] = 3;
    EXPECT_EQ(constant["zz"], Variant(3));
}

TEST(VariantMap, ExistsIgnoresEntriesBelow) {
    VariantMap const map = of({{"a/b", Variant(1)}});
    EXPECT_FALSE(map.exists("a"));
    EXPECT_TRUE(map.exists("a/b"));
}

TEST(VariantMap, EqualityComparesKeysTagsAndTexts) {
    EXPECT_EQ(of({{"a", Variant(1)}}), of({{"a", Variant(1L)}}));
    EXPECT_NE(of({{"a", Variant(1)}}), of({{"a", Variant(1u)}}));
    EXPECT_NE(of({{"a", Variant(1)}}), of({{"b", Variant(1)}}));
    EXPECT_NE(of({{"a", Variant(1)}}), of({{"a", Variant(1)}, {"b", Variant(1)}}));
    EXPECT_FALSE(of({{"a", Variant(1)}}) != of({{"a", Variant(1)}}));
}

TEST(VariantMap, ToStringIsAPaddedTable) {
    std::string const separator = "+------------+------------+";
    EXPECT_EQ(of({{"a", Variant(1)}}).toString(),
              separator + "\n" + "| KEY        | VALUE      |\n" + separator + "\n" +
                  "| a          : 1          |\n" + separator + "\n");
    EXPECT_EQ(of({{"a-rather-long-key", Variant("value %s")}}).toString(),
              "+-------------------+------------+\n"
              "| KEY               | VALUE      |\n"
              "+-------------------+------------+\n"
              "| a-rather-long-key : value %s   |\n"
              "+-------------------+------------+\n");
}

TEST(VariantMap, ArrayIndexesAreDecimalAndPlacedByValue) {
    EXPECT_EQ(of({{"a/0", Variant(0)}, {"a/08", Variant(8)}}).toJson(),
              json::parse(R"({"a": [0, null, null, null, null, null, null, null, 8]})"));
    json const ten = of({{"a/010", Variant(1)}}).toJson();
    ASSERT_EQ(ten["a"].size(), 11u);
    EXPECT_EQ(ten["a"][10], 1);
    EXPECT_EQ(of({{"a/1", Variant(1)}, {"a/0", Variant(0)}, {"a/3", Variant(3)}}).toJson(),
              json::parse(R"({"a": [0, 1, null, 3]})"));
}

TEST(VariantMap, UnusableIndexesAreRefusedWithoutAllocating) {
    for (char const* component : {"-1", "99999999999999999999", "4294967296", "100000000"}) {
        SCOPED_TRACE(component);
        VariantMap const map = of({{std::string("a/") + component, Variant(1)}});
        EXPECT_THROW(map.toJson(), std::out_of_range);
    }
    // Gaps are allowed in proportion to the map, so a dense array of any
    // length still rebuilds.
    VariantMap large;
    for (int i = 0; i < 5000; ++i) {
        large["a/" + std::to_string(i)] = i;
    }
    EXPECT_EQ(large.toJson()["a"][4999], 4999);
}

TEST(VariantMap, ConflictingShapesFailWithTheJsonTypeErrorAndChangeNothing) {
    std::vector<VariantMap> const conflicts = {
        of({{"a", Variant(1)}, {"a/b", Variant(2)}}),
        of({{"x/0", Variant(1)}, {"x/y", Variant(2)}}),
        of({{"x/a", Variant(1)}, {"x/a/0", Variant(2)}, {"x/b", Variant(1)}}),
        of({{"0", Variant(1)}, {"a", Variant(2)}}),
    };
    for (VariantMap const& map : conflicts) {
        SCOPED_TRACE(map.toString());
        VariantMap const before = map;
        EXPECT_THROW(map.toJson(), json::type_error);
        EXPECT_EQ(map, before);
    }
}

TEST(VariantMap, LeafThatIsAnObjectTakesMembersFromBelow) {
    VariantMap const map = of({{"a", Variant(R"({"x":1})")}, {"a/y", Variant(2)}});
    EXPECT_EQ(map.toJson(), json::parse(R"({"a": {"x": 1, "y": 2}})"));
}

TEST(VariantMap, KeysWithoutComponentsAddNothing) {
    EXPECT_EQ(of({{"", Variant(1)}, {"//", Variant(2)}, {"k", Variant(3)}}).toJson(),
              json::parse(R"({"k": 3})"));
    EXPECT_EQ(of({{"/a//b/", Variant(1)}}).toJson(), json::parse(R"({"a": {"b": 1}})"));
}

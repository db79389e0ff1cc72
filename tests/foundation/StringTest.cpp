#include "foundation/String.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <climits>
#include <stdexcept>

using testing::ElementsAre;
using testing::IsEmpty;

TEST(StringFormat, ExpandsWithoutTruncating) {
    EXPECT_EQ(String::format("%s-%03d-%.2f", "a", 7, 1.5), "a-007-1.50");
    EXPECT_EQ(String::format("%s", ""), "");
    // 511 characters fit the first pass, 512 and more take the second one.
    for (int length : {1, 511, 512, 513, 5000}) {
        SCOPED_TRACE(length);
        std::string const text(static_cast<std::size_t>(length - 1), 'q');
        std::string const out = String::format("%s!", text.c_str());
        EXPECT_EQ(out, text + "!");
    }
}

TEST(StringFormat, ShortExpansionIsCutAtNul) {
    EXPECT_EQ(String::format("ab%cde", 0), "ab");
}

TEST(StringInteger, ToIntegerReadsByBase) {
    struct Case {
        std::string text;
        int base;
        long long expected;
    };
    std::vector<Case> const cases = {
        {"0x1F", 0, 31},
        {"010", 0, 8},
        {"08", 0, 0},
        {"0X1F", 0, 0},
        {"-0x10", 0, 0},
        {"12abc", 0, 12},
        {"", 0, 0},
        {"0", 0, 0},
        {"0x", 0, 0},
        {"  42", 0, 42},
        {"-42", 0, -42},
        {"0xff", 0, 255},
        {"1F", 16, 31},
        {"0x1F", 16, 31},
        {"0X1f", 16, 31},
        {"17", 8, 15},
        {"077", 10, 77},
        {"ff", 2, 0},
        {"101", 2, 101},
        {"abc", 10, 0},
        {"9223372036854775807", 10, LLONG_MAX},
        {"99999999999999999999", 10, LLONG_MAX},
        {"-99999999999999999999", 0, LLONG_MIN},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(String::toInteger(c.text, c.base), c.expected)
            << '"' << c.text << "\" base " << c.base;
    }
}

TEST(StringInteger, FromIntegerPadsAndWritesHex) {
    struct Case {
        long long value;
        int base;
        int width;
        char fill;
        std::string expected;
    };
    std::vector<Case> const cases = {
        {255, 16, 4, '0', "00ff"},  {7, 10, 1, '0', "7"},
        {-5, 10, 4, '0', "00-5"},   {-1, 16, 1, '0', "ffffffffffffffff"},
        {1234, 10, 2, '0', "1234"}, {42, 2, 5, ' ', "   42"},
        {0, 10, 1, '0', "0"},       {LLONG_MIN, 10, 1, '0', "-9223372036854775808"},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(String::fromInteger(c.value, c.base, c.width, c.fill), c.expected) << c.value;
    }
}

TEST(StringDouble, ReadsAndWritesSixSignificantDigits) {
    struct Read {
        std::string text;
        double expected;
    };
    for (Read const& c : std::vector<Read>{
             {"3.5", 3.5}, {"  -2e3xyz", -2000}, {"abc", 0}, {"", 0}, {".25", 0.25}}) {
        EXPECT_DOUBLE_EQ(String::toDouble(c.text), c.expected) << c.text;
    }
    struct Write {
        double value;
        std::string expected;
    };
    for (Write const& c : std::vector<Write>{{3.14159265, "3.14159"},
                                             {0.5, "0.5"},
                                             {100, "100"},
                                             {1234567, "1.23457e+06"},
                                             {0.00001, "1e-05"},
                                             {-0.0, "-0"}}) {
        EXPECT_EQ(String::fromDouble(c.value), c.expected) << c.value;
    }
}

TEST(StringBool, OnlyKnownWordsAreTrue) {
    for (std::string const text : {"on", "true", "high", "1", "TRUE", "High", "On"}) {
        EXPECT_TRUE(String::toBool(text)) << text;
    }
    for (std::string const text : {"0", "off", "yes", " true", "", "true ", "2", "false"}) {
        EXPECT_FALSE(String::toBool(text)) << text;
    }
    EXPECT_EQ(String::fromBool(true), "true");
    EXPECT_EQ(String::fromBool(false), "false");
}

TEST(StringNumeric, WholeSignedDecimalOnly) {
    for (std::string const text : {"42", "-7", "+0012", "0", "99999999999999999999"}) {
        EXPECT_TRUE(String::isNumeric(text)) << text;
    }
    for (std::string const text : {"", "+", "-", "4.2", "0x10", " 12", "12 ", "a1", "1a"}) {
        EXPECT_FALSE(String::isNumeric(text)) << '"' << text << '"';
    }
}

TEST(StringTokenize, DropsEmptyTokensInBothContainers) {
    struct Case {
        std::string text;
        std::string delimiters;
        std::vector<std::string> expected;
    };
    std::vector<Case> const cases = {
        {"/a//b/", "/", {"a", "b"}},
        {"a,b;c", ",;", {"a", "b", "c"}},
        {"abc", "/", {"abc"}},
        {"", "/", {}},
        {"///", "/", {}},
        {"a/b", "", {"a/b"}},
        {"1..2", ".", {"1", "2"}},
        {"x", "x", {}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.text + " at " + c.delimiters);
        EXPECT_EQ(String::tokenizeV(c.text, c.delimiters), c.expected);
        std::list<std::string> const list = String::tokenize(c.text, c.delimiters);
        EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), c.expected);
    }
}

TEST(StringEdit, CaseChangesOnlyAsciiLetters) {
    std::string text = "aZ09-\xe9";
    EXPECT_EQ(&String::toUpper(text), &text);
    EXPECT_EQ(text, "AZ09-\xe9");
    EXPECT_EQ(&String::toLower(text), &text);
    EXPECT_EQ(text, "az09-\xe9");
    std::string const fixed = "MiXeD";
    EXPECT_EQ(String::toLower(fixed), "mixed");
    EXPECT_EQ(fixed, "MiXeD");
}

TEST(StringEdit, TrimRemovesWhiteSpaceAndNul) {
    struct Case {
        std::string text;
        std::string left;
        std::string right;
        std::string both;
    };
    std::string const messy = std::string(" \t\0a b\r\n\v\f", 10);
    std::vector<Case> const cases = {
        {messy, std::string("a b\r\n\v\f"), std::string(" \t\0a b", 6), "a b"},
        {std::string(" \0\n", 3), "", "", ""},
        {"", "", "", ""},
        {"x", "x", "x", "x"},
    };
    for (Case const& c : cases) {
        std::string left = c.text, right = c.text, both = c.text;
        EXPECT_EQ(String::ltrim(left), c.left);
        EXPECT_EQ(String::rtrim(right), c.right);
        EXPECT_EQ(String::trim(both), c.both);
    }
}

TEST(StringEdit, RemovesLastLineFeedAndCarriageReturn) {
    struct Case {
        std::string text;
        std::string expected;
    };
    for (Case const& c : std::vector<Case>{{"line\r\n", "line"},
                                           {"a\nb", "ab"},
                                           {"a\n\n", "a\n"},
                                           {"a\rb\n", "ab"},
                                           {"plain", "plain"},
                                           {"", ""}}) {
        std::string text = c.text;
        EXPECT_EQ(String::removeTrailingNewLineChar(text), c.expected);
    }
}

TEST(StringEdit, RemoveCommentsCutsAtFirstMarker) {
    struct Case {
        std::string text;
        std::string markers;
        std::string expected;
    };
    for (Case const& c : std::vector<Case>{{"key=1 # note", "#;", "key=1 "},
                                           {"a;b#c", "#;", "a"},
                                           {"none", "#", "none"},
                                           {"#all", "#", ""},
                                           {"x", "", "x"}}) {
        std::string text = c.text;
        EXPECT_EQ(String::removeComments(text, c.markers), c.expected);
    }
}

TEST(StringExtract, TakesTextBetweenStartAndEndSets) {
    struct Case {
        std::string text;
        std::string start;
        std::string end;
        unsigned long pos;
        std::string expected;
    };
    std::vector<Case> const cases = {
        {"name=<value> rest", "<", ">", 0, "value"},
        {"a[1] b[2]", "[", "]", 4, "2"},
        {"key: tail", ":", "]", 0, " tail"},
        {"nothing", "<", ">", 0, ""},
        // The start set is skipped by its whole length, not by the one match.
        {"x(abcd)", "([", ")", 0, "bcd"},
        {"ab<", "<", ">", 0, ""},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(String::extract(c.text, c.start, c.end, c.pos), c.expected) << c.text;
    }
    EXPECT_THROW(String::extract("ab<", "<[{", ">", 0), std::out_of_range);
}

TEST(StringHex, ConvertsBothWays) {
    EXPECT_THAT(String::fromHex("0a1B"), ElementsAre(0x0A, 0x1B));
    EXPECT_THAT(String::fromHex("FF00"), ElementsAre(0xFF, 0x00));
    EXPECT_THAT(String::fromHex(""), IsEmpty());
    std::vector<unsigned char> const bytes = {0x0A, 0x1B};
    EXPECT_EQ(String::toHex(bytes), "0A1B");
    unsigned char const raw[] = {0x00, 0xFF, 0x7F};
    EXPECT_EQ(String::toHex(raw, sizeof(raw)), "00FF7F");
    EXPECT_EQ(String::toHex(std::vector<unsigned char>()), "");
}

TEST(StringHex, RejectsBadText) {
    struct Case {
        std::string hex;
        std::string what;
    };
    for (Case const& c : std::vector<Case>{{"0g", "Not a hex digit!"},
                                           {"g0", "Not a hex digit!"},
                                           {"0 ", "Not a hex digit!"},
                                           {std::string("0\0", 2), "Not a hex digit!"},
                                           {"abc", "Odd length!"},
                                           {"0", "Odd length!"}}) {
        try {
            String::fromHex(c.hex);
            ADD_FAILURE() << "no exception for " << c.hex;
        } catch (std::invalid_argument const& error) {
            EXPECT_EQ(error.what(), c.what) << c.hex;
        }
    }
}

namespace {

std::string const Fffd = "\xEF\xBF\xBD";

// What the JSON library's replacing serialisation makes of the text, quotes
// and escapes taken off again.
std::string asJsonReplacesIt(std::string const& text) {
    std::string const dumped =
        nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(dumped).get<std::string>();
}

} // namespace

TEST(StringUtf8, InvalidSequencesBecomeOneReplacementEachAsTheJsonLibraryWritesThem) {
    struct Case {
        std::string text;
        std::string valid;
    };
    for (Case const& c :
         std::vector<Case>{{"Temp 80\xB0"
                            "C",
                            "Temp 80" + Fffd + "C"},
                           {"psu\xFF", "psu" + Fffd},
                           {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                            "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
                           {std::string("a\0b", 3), std::string("a\0b", 3)},
                           {"", ""},
                           // A sequence cut short by the end, or by a byte that then starts anew.
                           {"x\xE2\x82", "x" + Fffd},
                           {"\xE2\x82"
                            "A",
                            Fffd + "A"},
                           {"\xC3\xC3\xA9", Fffd + "\xC3\xA9"},
                           // Overlong forms, a surrogate and a code point beyond U+10FFFF.
                           {"\xC0\xAF", Fffd + Fffd},
                           {"\xE0\x80\xAF", Fffd + Fffd + Fffd},
                           {"\xED\xA0\x80", Fffd + Fffd + Fffd},
                           {"\xF4\x90\x80\x80", Fffd + Fffd + Fffd + Fffd},
                           {"\x80\xBF", Fffd + Fffd}}) {
        SCOPED_TRACE(
            String::toHex(reinterpret_cast<unsigned char const*>(c.text.data()), c.text.size()));
        EXPECT_EQ(String::toValidUtf8(c.text), c.valid);
        EXPECT_EQ(String::toValidUtf8(c.text), asJsonReplacesIt(c.text));
    }
}

TEST(StringClip, LongTextKeepsWholeCharactersOfItsHeadAndTellsItsLength) {
    struct Case {
        std::string text;
        std::size_t limit;
        std::string clipped;
    };
    std::string const euro = "\xE2\x82\xAC";
    for (Case const& c :
         std::vector<Case>{{"abcdef", 6, "abcdef"},
                           {"abcdefg", 6, "abcdef... (7 bytes)"},
                           {"", 0, ""},
                           {"ab" + euro + "cd", 3, "ab... (7 bytes)"},
                           {"ab" + euro + "cd", 4, "ab... (7 bytes)"},
                           {"ab" + euro + "cd", 5, "ab" + euro + "... (7 bytes)"}}) {
        SCOPED_TRACE(c.clipped);
        EXPECT_EQ(String::clip(c.text, c.limit), c.clipped);
    }
    EXPECT_EQ(String::clip(std::string(1000, 'z')), std::string(256, 'z') + "... (1000 bytes)");
}

#include "foundation/Secrets.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(Secrets, EveryPasswordIsMaskedWhereverItIsAndNothingElseChanges) {
    struct Case {
        json document, masked;
    };
    Case const cases[] = {
        {{{"mqtt", {{"password", "s3cret"}, {"url", "u"}}}},
         {{"mqtt", {{"password", "***"}, {"url", "u"}}}}},
        {json::array({{{"password", 7}}, {{"a", {{"password", {1, 2}}}}}}),
         json::array({{{"password", "***"}}, {{"a", {{"password", "***"}}}}})},
        {{{"passwords", "kept"}, {"text", "password"}},
         {{"passwords", "kept"}, {"text", "password"}}},
        {json("password"), json("password")},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.document.dump());
        EXPECT_EQ(Secrets::masked(c.document), c.masked);
    }
}

TEST(Secrets, MessageTextsNamingAPasswordAreMaskedAndOthersKeptByteForByte) {
    struct Case {
        std::string text, shown;
    };
    std::string const deep =
        std::string(5000, '[') + R"({"password":"s3cret"})" + std::string(5000, ']');
    Case const cases[] = {
        {R"({ "url" : "u",  "n": 1 })", R"({ "url" : "u",  "n": 1 })"},
        {R"({"text": "password" })", R"({"text": "password" })"},
        {R"({"mqtt": {"password": "s3cret", "url": "u"}})",
         R"({"mqtt":{"password":"***","url":"u"}})"},
        {R"({"password":"s3cret")", "***"},
        {"\xffpassword=s3cret", "***"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Secrets::maskedText(c.text), c.shown);
    }
    // Nested beyond reason, the levels that would hold the secret are left out.
    EXPECT_EQ(Secrets::maskedText(deep).find("s3cret"), std::string::npos);
}

TEST(Secrets, APayloadWrittenOnAPasswordTopicIsMaskedWhole) {
    for (std::string const topic :
         {"base/config/mqtt/password/set", "config/mqtt/password", "password/set/request/1"}) {
        EXPECT_EQ(Secrets::maskedPayload(topic, "987654321"), "***") << topic;
    }
    // Other topics: as any message text.
    EXPECT_EQ(Secrets::maskedPayload("base/config/mqtt/passwords/set", "\"kept\""), "\"kept\"");
    EXPECT_EQ(Secrets::maskedPayload("base/oldpassword", "1"), "1");
    EXPECT_EQ(Secrets::maskedPayload("base/config/set", R"({"mqtt":{"password":"s3cret"}})"),
              R"({"mqtt":{"password":"***"}})");
}

TEST(Secrets, ADescriptionGivesOnlyTheKindAndATextsSize) {
    struct Case {
        json value;
        std::string shown;
    };
    Case const cases[] = {
        {nullptr, "null"},        {true, "a boolean"},
        {987654321, "a number"},  {-1, "a number"},
        {2.5, "a number"},        {"", "0 bytes"},
        {"x", "1 byte"},          {"s3cret", "6 bytes"},
        {{"s3cret"}, "an array"}, {{{"p", "s3cret"}}, "an object"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.value.dump());
        EXPECT_EQ(Secrets::described(c.value), c.shown);
    }
}

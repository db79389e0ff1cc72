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

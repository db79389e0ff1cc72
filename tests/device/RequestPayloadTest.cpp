#include "device/RequestPayload.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace velt::ZRV480::BoardManager::Manager;
using velt::ZRV480::Bus::Common::ErrorCode;

struct Case {
    char const* payload;
    ErrorCode code; // Success: accepted
    std::vector<std::string> values;
};

TEST(RequestPayload, StringsInKeyOrder) {
    std::vector<Case> const cases{
        {R"({"remote": "b.txt", "local": "/tmp/a", "other": 1})",
         ErrorCode::Success,
         {"/tmp/a", "b.txt"}},
        {R"({"local": "", "remote": ""})", ErrorCode::Success, {"", ""}},
        {"not json", ErrorCode::MalformedJson, {}},
        {R"({"local": "a", "remote": "b")", ErrorCode::MalformedJson, {}},
        {R"(["local", "remote"])", ErrorCode::MalformedRequest, {}},
        {R"("local")", ErrorCode::MalformedRequest, {}},
        {R"({"local": "a"})", ErrorCode::MalformedRequest, {}},
        {R"({"local": 5, "remote": "b"})", ErrorCode::MalformedRequest, {}},
        {R"({"local": "a", "remote": null})", ErrorCode::MalformedRequest, {}},
        {R"({"Local": "a", "remote": "b"})", ErrorCode::MalformedRequest, {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.payload);
        auto const result = RequestPayload::strings(c.payload, {"local", "remote"});
        if (c.code == ErrorCode::Success) {
            ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(result));
            EXPECT_EQ(std::get<std::vector<std::string>>(result), c.values);
        } else {
            ASSERT_TRUE(std::holds_alternative<ErrorCode>(result));
            EXPECT_EQ(std::get<ErrorCode>(result), c.code);
        }
    }
}

TEST(RequestPayload, UnsignedIsAPlainNonNegativeIntegerWithinRange) {
    std::vector<std::pair<char const*, bool>> const cases{
        {"0", true},
        {"255", true},
        {"256", false},
        {"-0", false},
        {"-1", false},
        {"1.0", false},
        {"1e2", false},
        {"\"1\"", false},
        {"true", false},
        {"null", false},
        {"18446744073709551616", false},
    };
    for (auto const& [text, accepted] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(RequestPayload::isUnsigned(nlohmann::json::parse(text), 255), accepted);
    }
}

} // namespace

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

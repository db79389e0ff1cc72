#include "device/PendingUpgrades.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

namespace {

using namespace velt::ZRV480::BoardManager::Manager;

TEST(PendingUpgrades, RequestsAreKeptPerBoard) {
    PendingUpgrades upgrades;
    ASSERT_TRUE(upgrades.claim(1, "one"));
    ASSERT_TRUE(upgrades.claim(16, "sixteen"));
    EXPECT_FALSE(upgrades.claim(1, "again"));

    // Another board's end, or one of a board without a request (the
    // automatic run, the service console), consumes nothing.
    EXPECT_EQ(upgrades.finish(200), std::nullopt);
    EXPECT_EQ(upgrades.finish(2), std::nullopt);
    EXPECT_EQ(upgrades.finish(16), "sixteen");
    EXPECT_EQ(upgrades.finish(16), std::nullopt);
    EXPECT_EQ(upgrades.finish(1), "one");
}

TEST(PendingUpgrades, StepsFollowProgressAndEndWithTheRequest) {
    PendingUpgrades upgrades;
    // Progress of an upload nobody requested creates a step that stays.
    EXPECT_TRUE(upgrades.progress(200, 0));
    EXPECT_FALSE(upgrades.progress(200, 3));
    EXPECT_TRUE(upgrades.progress(200, 7));
    EXPECT_EQ(upgrades.finish(200), std::nullopt);
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{200, 10}}));

    ASSERT_TRUE(upgrades.claim(16, "x"));
    EXPECT_TRUE(upgrades.progress(16, 100));
    EXPECT_TRUE(upgrades.progress(16, 100));
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{16, 10}, {200, 10}}));
    // A second request for the board is refused and keeps its steps.
    EXPECT_FALSE(upgrades.claim(16, "y"));
    upgrades.release(16, "y");
    EXPECT_EQ(upgrades.steps().at(16), 10);

    EXPECT_EQ(upgrades.finish(16), "x");
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{200, 10}}));
}

TEST(PendingUpgrades, RefusedRequestLeavesItsStepAtZero) {
    PendingUpgrades upgrades;
    EXPECT_TRUE(upgrades.progress(1, 50));
    ASSERT_TRUE(upgrades.claim(1, "r"));
    upgrades.release(1, "r");
    EXPECT_EQ(upgrades.steps().at(1), 0);
    EXPECT_EQ(upgrades.finish(1), std::nullopt);
    EXPECT_TRUE(upgrades.claim(1, "s"));
}

} // namespace

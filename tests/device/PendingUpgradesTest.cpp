#include "device/PendingUpgrades.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

namespace {

using namespace velt::ZRV480::BoardManager::Manager;

// A report as the progress handler takes it: check, then raise the step.
bool report(PendingUpgrades& upgrades, uint8_t address, float percent) {
    if (!upgrades.reaches(address, percent)) {
        return false;
    }
    upgrades.advance(address);
    return true;
}

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

TEST(PendingUpgrades, StepsFollowProgressUntilDropped) {
    PendingUpgrades upgrades;
    // Progress of an upload nobody requested creates a step that stays.
    EXPECT_TRUE(upgrades.reaches(200, 0));
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{200, 0}}));
    upgrades.advance(200);
    EXPECT_FALSE(report(upgrades, 200, 3));
    EXPECT_TRUE(report(upgrades, 200, 7));
    EXPECT_EQ(upgrades.finish(200), std::nullopt);
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{200, 10}}));

    ASSERT_TRUE(upgrades.claim(16, "x"));
    EXPECT_TRUE(report(upgrades, 16, 100));
    EXPECT_TRUE(report(upgrades, 16, 100));
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{16, 10}, {200, 10}}));
    // A second request for the board is refused and keeps its steps.
    EXPECT_FALSE(upgrades.claim(16, "y"));
    upgrades.release(16, "y");
    EXPECT_EQ(upgrades.steps().at(16), 10);

    EXPECT_EQ(upgrades.finish(16), "x");
    // The step stays until the end is published, then goes.
    EXPECT_EQ(upgrades.steps().at(16), 10);
    EXPECT_TRUE(upgrades.claim(16, "next"));
    upgrades.dropStep(16);
    EXPECT_EQ(upgrades.steps(), (std::map<uint8_t, uint8_t>{{200, 10}}));
}

TEST(PendingUpgrades, RefusedRequestLeavesItsStepAtZero) {
    PendingUpgrades upgrades;
    EXPECT_TRUE(report(upgrades, 1, 50));
    ASSERT_TRUE(upgrades.claim(1, "r"));
    upgrades.release(1, "r");
    EXPECT_EQ(upgrades.steps().at(1), 0);
    EXPECT_EQ(upgrades.finish(1), std::nullopt);
    EXPECT_TRUE(upgrades.claim(1, "s"));
}

} // namespace

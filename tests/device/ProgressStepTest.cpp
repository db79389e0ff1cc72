#include "device/ProgressStep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using velt::ZRV480::BoardManager::Manager::ProgressStep;

// Feeds the reports and collects what they publish.
std::vector<int> published(ProgressStep& step, std::vector<float> const& reports) {
    std::vector<int> result;
    for (auto const percent : reports) {
        if (auto const value = step.reach(percent)) {
            result.push_back(*value);
        }
    }
    return result;
}

TEST(ProgressStep, EveryPercentPublishesEachStepOnce) {
    ProgressStep step;
    std::vector<float> reports;
    for (int i = 0; i <= 100; ++i) {
        reports.push_back(static_cast<float>(i));
    }
    std::vector<int> expected;
    for (int i = 0; i <= 100; i += 5) {
        expected.push_back(i);
    }
    EXPECT_EQ(published(step, reports), expected);
    EXPECT_EQ(step.next(), 100);
}

struct Case {
    char const* name;
    std::vector<float> reports;
    std::vector<int> expected;
};

TEST(ProgressStep, PublishesStepsNotPercentages) {
    std::vector<Case> const cases{
        // Twenty segments of a transfer: 5, 10, ..., 100 percent.
        {"twenty segments",
         {5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85, 90, 95, 100},
         {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85, 90, 95}},
        {"ten segments",
         {10, 20, 30, 40, 50, 60, 70, 80, 90, 100},
         {0, 5, 10, 15, 20, 25, 30, 35, 40, 45}},
        {"below the step", {4.9f, 3, 5, 9.99f}, {0, 5}},
        {"capped at 100, then every 100 again",
         std::vector<float>(22, 100.0f),
         {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85, 90, 95, 100, 100}},
        {"not a number", {std::nanf(""), 0}, {0}},
        {"negative", {-1}, {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressStep step;
        EXPECT_EQ(published(step, c.reports), c.expected);
    }
}

TEST(ProgressStep, ResetStartsAgainFromZero) {
    ProgressStep step;
    EXPECT_EQ(published(step, {50, 50, 50}), (std::vector<int>{0, 5, 10}));
    EXPECT_EQ(step.next(), 15);
    step.reset();
    EXPECT_EQ(step.next(), 0);
    EXPECT_EQ(published(step, {1}), (std::vector<int>{0}));
}

} // namespace

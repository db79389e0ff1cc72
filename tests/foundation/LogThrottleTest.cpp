#include "foundation/LogThrottle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// One line offered at `at` after the first: whether it is written, and with
// which note.
struct Step {
    std::chrono::milliseconds at;
    bool written;
    char const* note;
};

void run(LogThrottle& throttle, std::vector<Step> const& steps) {
    LogThrottle::Clock::time_point const start = LogThrottle::Clock::now();
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "line " << i << " at " << steps[i].at.count() << " ms");
        std::string note = "untouched";
        bool const written = throttle.admit(note, start + steps[i].at);
        EXPECT_EQ(written, steps[i].written);
        if (written) {
            EXPECT_EQ(note, steps[i].note);
        }
    }
}

TEST(LogThrottle, WritesAFewLinesPerSecondAndCountsTheRest) {
    LogThrottle throttle(3);
    run(throttle, {
                      {0ms, true, ""},
                      {10ms, true, ""},
                      {20ms, true, ""},
                      {30ms, false, ""}, // the window holds 3
                      {999ms, false, ""},
                      {1000ms, true, " (2 more in the last second)"},
                      {1001ms, true, ""}, // told once only
                      {1002ms, true, ""},
                      {1003ms, false, ""},
                      {5000ms, true, " (1 more in the last second)"},
                      {9000ms, true, ""}, // nothing held back: plain
                  });
}

} // namespace

#include "support/SimClient.h"

#include <gtest/gtest.h>

using boardsim::Bytes;

TEST(Smoke, heartbeat) {
    SimFixture f;
    f.sim.setUptime(0, 10000);
    auto reply = f.client.exchange({0x00, 0x05, 0x7F, 0x00});
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0xC9, 0x05, 0x7F, 0x00, 0x10, 0x27, 0x00, 0x00}));
}

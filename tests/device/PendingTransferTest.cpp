#include "device/PendingTransfer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace velt::ZRV480::BoardManager::Manager;

TEST(PendingTransfer, SecondRequestIsRefusedAndLeavesTheFirstAlone) {
    PendingTransfer transfer;
    ASSERT_TRUE(transfer.claim("first"));
    EXPECT_EQ(transfer.progress(50), 0);
    EXPECT_EQ(transfer.progress(50), 5);

    EXPECT_FALSE(transfer.claim("second"));
    // Neither the refused request's release nor its claim touched the steps.
    transfer.release("second");
    EXPECT_EQ(transfer.progress(50), 10);

    EXPECT_EQ(transfer.finish(), "first");
    EXPECT_EQ(transfer.finish(), std::nullopt);
    EXPECT_TRUE(transfer.claim("third"));
}

TEST(PendingTransfer, FinishResetsStepsAndReleaseOnlyDropsItsOwnRequest) {
    PendingTransfer transfer;
    // Transfers that no request started publish progress too.
    EXPECT_EQ(transfer.progress(100), 0);
    EXPECT_EQ(transfer.finish(), std::nullopt);
    EXPECT_EQ(transfer.progress(100), 0);

    ASSERT_TRUE(transfer.claim("a"));
    EXPECT_EQ(transfer.progress(0), 0);
    transfer.release("a");
    // A refused request frees its direction for the next one.
    ASSERT_TRUE(transfer.claim("b"));
    EXPECT_EQ(transfer.progress(0), 0);
    transfer.release("a");
    EXPECT_EQ(transfer.finish(), "b");
}

} // namespace

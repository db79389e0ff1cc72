#include "main/DisconnectWait.h"

#include "mqtt/Client.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using velt::ZRV480::BoardManager::DisconnectWait;

// The client's notices in order: 'p' stopping, 'd' disconnected, 's'
// starting. Whether main's wait at the end ends at once.
struct Sequence {
    char const* notices;
    bool notified;
    char const* why;
};

void PrintTo(Sequence const& sequence, std::ostream* out) {
    *out << '"' << sequence.notices << '"';
}

class DisconnectWaitTest : public ::testing::TestWithParam<Sequence> {};

TEST_P(DisconnectWaitTest, OnlyTheDisconnectionAfterTheLastStopEndsTheWait) {
    MQTT::Client client("base", "MQTT");
    DisconnectWait const wait(client);
    for (char const notice : std::string(GetParam().notices)) {
        switch (notice) {
        case 'p':
            client.stopping.emit();
            break;
        case 'd':
            client.disconnected.emit();
            break;
        case 's':
            client.starting.emit();
            break;
        }
    }
    EXPECT_EQ(wait.wait(0), GetParam().notified) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Notices, DisconnectWaitTest,
    ::testing::Values(Sequence{"", false, "nothing happened"},
                      Sequence{"pd", true, "the stop's notice"},
                      Sequence{"d", false, "a lost connection is no stop"},
                      Sequence{"pds", false, "a restart's notice"},
                      Sequence{"psd", false, "a restart's notice after its start"},
                      Sequence{"spdsp", false, "the last stop's notice is still due"},
                      Sequence{"spdspd", true, "the last stop's notice after a restart"}));

} // namespace

#include "CommandsBus.h"

#include <numeric>

namespace bustest {

Bytes counting(size_t size, uint8_t first) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

void CommandsBus::SetUp() {
    SimulatedBus::SetUp();
    ASSERT_EQ(heartbeat(Main), ErrorCode::Success);
    ASSERT_EQ(heartbeat(Psu), ErrorCode::Success);
    ASSERT_EQ(heartbeat(Light), ErrorCode::Success);
    forgetRequests(3);
}

int CommandsBus::onRequest(uint8_t address, Packet::Command command, uint8_t slot,
                           boardsim::Action const& action, std::optional<uint8_t> sub) {
    boardsim::Rule rule;
    rule.match.address = address;
    rule.match.command = static_cast<uint8_t>(command);
    rule.match.slot = slot;
    rule.match.sub = sub;
    rule.action = action;
    return sim.addRule(rule);
}

int CommandsBus::replyWith(uint8_t address, Packet::Command command, uint8_t slot,
                           Bytes const& payload, std::optional<uint8_t> sub) {
    return onRequest(address, command, slot, boardsim::Action::withPayload(payload), sub);
}

boardsim::Action CommandsBus::lateGeneralError() {
    boardsim::Action action = boardsim::Action::errorReply(0x81);
    action.delayMs = static_cast<int>(3 * TimeoutMs);
    return action;
}

std::vector<boardsim::RequestRecord> CommandsBus::requests(size_t count) const {
    EXPECT_TRUE(sim.waitFor({}, count, WaitMs)) << "fewer than " << count << " requests";
    return sim.requests();
}

void CommandsBus::forgetRequests(size_t count) {
    requests(count);
    sim.clearRequests();
}

int CommandsBus::onSegment(uint8_t address, uint8_t slot, uint8_t sub,
                           std::optional<uint16_t> segment, boardsim::Action const& action,
                           uint32_t nth) {
    boardsim::Rule rule;
    rule.match = {address, static_cast<uint8_t>(Packet::Command::Misc), slot, sub, segment};
    rule.action = action;
    rule.nth = nth;
    return sim.addRule(rule);
}

size_t CommandsBus::segmentRequests(uint8_t address, uint8_t slot, uint8_t sub,
                                    std::optional<uint16_t> segment) const {
    return sim.requestCount(
        {address, static_cast<uint8_t>(Packet::Command::Misc), slot, sub, segment});
}

void CommandsBus::expectOnly(uint8_t address, Packet::Command command, uint8_t slot,
                             Bytes const& payload) const {
    std::vector<boardsim::RequestRecord> const all = requests(1);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].address, address);
    EXPECT_EQ(all[0].command, static_cast<uint8_t>(command));
    EXPECT_EQ(all[0].slot, slot);
    EXPECT_EQ(all[0].payload, payload);
}

Bytes CommandsBus::lastPayload() const {
    std::vector<boardsim::RequestRecord> const all = requests(1);
    return all.empty() ? Bytes{} : all.back().payload;
}

} // namespace bustest

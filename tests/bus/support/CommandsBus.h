#pragma once

#include "SimulatedBus.h"

#include <optional>
#include <vector>

namespace bustest {

using Bytes = std::vector<uint8_t>;

// `size` bytes counting up from `first`, wrapping at 256.
Bytes counting(size_t size, uint8_t first);

// The simulated bus with the main board, the psu and the light board online
// and the request log empty, for the tests of the bus commands.
class CommandsBus : public SimulatedBus {
protected:
    void SetUp() override;

    // A rule for every request to `address` with `command` and `slot` (and
    // the first payload byte `sub`, when given).
    int onRequest(uint8_t address, Packet::Command command, uint8_t slot,
                  boardsim::Action const& action, std::optional<uint8_t> sub = {});
    // A rule for the `nth` (0: every) upload or file segment `segment` (0:
    // the header) of the Misc slot `slot` with the sub-command `sub`.
    int onSegment(uint8_t address, uint8_t slot, uint8_t sub, std::optional<uint16_t> segment,
                  boardsim::Action const& action, uint32_t nth = 0);
    // How many such segments the simulator logged.
    size_t segmentRequests(uint8_t address, uint8_t slot, uint8_t sub,
                           std::optional<uint16_t> segment) const;
    // The board answers such requests with `payload` instead of its own.
    int replyWith(uint8_t address, Packet::Command command, uint8_t slot, Bytes const& payload,
                  std::optional<uint8_t> sub = {});
    // An error reply 0x81, which a request with retries repeats, sent later
    // than the default time-out: a request that meets it on its first
    // attempt waited its own, longer time-out and asked for no retries.
    static boardsim::Action lateGeneralError();
    // The requests the simulator logged since SetUp (or its last
    // clearRequests), in order, once it logged `count` of them: a request
    // that timed out may still be on its way to the simulator.
    std::vector<boardsim::RequestRecord> requests(size_t count) const;
    // Expects that the one request logged is this one.
    void expectOnly(uint8_t address, Packet::Command command, uint8_t slot,
                    Bytes const& payload) const;
    // The payload of the last request, once one was logged.
    Bytes lastPayload() const;
    // Empties the request log once it holds the `count` requests sent since
    // it was last emptied, so that no late entry lands in the next check.
    void forgetRequests(size_t count);
};

} // namespace bustest

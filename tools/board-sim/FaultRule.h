#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace boardsim {

using Bytes = std::vector<uint8_t>;

// Selects requests for a rule or a wait; an unset field matches anything.
// Filter{1, 4} matches every action request to board 1.
struct Filter {
    Filter(std::optional<uint8_t> toAddress = std::nullopt,
           std::optional<uint8_t> ofCommand = std::nullopt,
           std::optional<uint8_t> ofSlot = std::nullopt,
           std::optional<uint8_t> ofSub = std::nullopt,
           std::optional<uint16_t> ofSegment = std::nullopt)
        : address(toAddress), command(ofCommand), slot(ofSlot), sub(ofSub), segment(ofSegment) {}

    std::optional<uint8_t> address;
    std::optional<uint8_t> command;
    std::optional<uint8_t> slot;
    // First payload byte (bootloader, file, network, scratchpad sub-command).
    std::optional<uint8_t> sub;
    // Segment index of a firmware upload (Misc 240, sub 0) or of a file write or
    // read (Misc 241, sub 1 or 2); 0 is the header. Requests that are no segment
    // never match a filter that sets it.
    std::optional<uint16_t> segment;
};

// What a rule does to the reply of a matching request. Several fields may be
// set at once; the factories build the common single-purpose actions.
struct Action {
    // The reply is lost on its way back (the board still acted on the request).
    bool drop = false;
    // The reply is sent this many ms late.
    int delayMs = 0;
    // The reply is sent a second time, this many ms after the first.
    std::optional<int> duplicateGapMs;
    // Wrong sequence number: seq + seqOffset, or seqValue.
    std::optional<int> seqOffset;
    std::optional<uint8_t> seqValue;
    // Reply address (normally 201) and command byte.
    std::optional<uint8_t> address;
    std::optional<uint8_t> command;
    // The board refuses: a 4-byte error reply with this byte, followed by
    // errorExtra zero bytes. The request is not executed.
    std::optional<uint8_t> error;
    size_t errorExtra = 0;
    // Payload rewrites, applied in this order: payload, result, echo, truncate, append.
    std::optional<Bytes> payload;
    // Overrides the leading little-endian i16 result of file and upload replies.
    std::optional<int16_t> result;
    // Replaces the echo of a setter (ConfigSet, clock, network, flags, scratchpad).
    std::optional<Bytes> echo;
    std::optional<size_t> truncate; // payload bytes kept
    std::optional<Bytes> append;
    // Whole-datagram sizes: cut to shortLength (< 4) or pad with zeros to oversize (> 512).
    std::optional<size_t> shortLength;
    std::optional<size_t> oversize;
    // The reply is queued until BoardSim::release().
    bool hold = false;
    // A datagram sent to the requester just before the reply.
    std::optional<Bytes> unsolicited;

    static Action dropReply();
    static Action delayed(int ms);
    static Action duplicated(int gapMs);
    static Action seqPlus(int k);
    static Action seqEquals(uint8_t v);
    static Action fromAddress(uint8_t v);
    static Action withCommand(uint8_t v);
    static Action errorReply(uint8_t b);
    static Action errorWithPayload(uint8_t b, size_t n);
    static Action withPayload(Bytes bytes);
    static Action truncated(size_t n);
    static Action appended(Bytes bytes);
    static Action shortReply(size_t n);
    static Action oversized(size_t n);
    static Action withResult(int16_t v);
    static Action echoOverride(Bytes bytes);
    static Action held();
    static Action unsolicitedFrame(Bytes bytes);
};

struct Rule {
    Filter match;
    Action action;
    uint32_t nth = 0;   // act only on the nth matching request (1-based); 0: on every one
    uint32_t times = 0; // expire after this many uses; 0: never
    double probability = 1.0;
    uint32_t seed = 0;  // the draws of a rule are a fixed sequence per seed
    bool chain = false; // later matching rules apply as well
};

} // namespace boardsim

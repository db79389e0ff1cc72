#include "FaultRule.h"

namespace boardsim {

namespace {

template <typename Setter> Action make(Setter set) {
    Action action;
    set(action);
    return action;
}

} // namespace

Action Action::dropReply() {
    return make([](Action& a) { a.drop = true; });
}
Action Action::delayed(int ms) {
    return make([&](Action& a) { a.delayMs = ms; });
}
Action Action::duplicated(int gapMs) {
    return make([&](Action& a) { a.duplicateGapMs = gapMs; });
}
Action Action::seqPlus(int k) {
    return make([&](Action& a) { a.seqOffset = k; });
}
Action Action::seqEquals(uint8_t v) {
    return make([&](Action& a) { a.seqValue = v; });
}
Action Action::fromAddress(uint8_t v) {
    return make([&](Action& a) { a.address = v; });
}
Action Action::withCommand(uint8_t v) {
    return make([&](Action& a) { a.command = v; });
}
Action Action::errorReply(uint8_t b) {
    return make([&](Action& a) { a.error = b; });
}
Action Action::errorWithPayload(uint8_t b, size_t n) {
    return make([&](Action& a) {
        a.error = b;
        a.errorExtra = n;
    });
}
Action Action::withPayload(Bytes bytes) {
    return make([&](Action& a) { a.payload = std::move(bytes); });
}
Action Action::truncated(size_t n) {
    return make([&](Action& a) { a.truncate = n; });
}
Action Action::appended(Bytes bytes) {
    return make([&](Action& a) { a.append = std::move(bytes); });
}
Action Action::shortReply(size_t n) {
    return make([&](Action& a) { a.shortLength = n; });
}
Action Action::oversized(size_t n) {
    return make([&](Action& a) { a.oversize = n; });
}
Action Action::withResult(int16_t v) {
    return make([&](Action& a) { a.result = v; });
}
Action Action::echoOverride(Bytes bytes) {
    return make([&](Action& a) { a.echo = std::move(bytes); });
}
Action Action::held() {
    return make([](Action& a) { a.hold = true; });
}
Action Action::unsolicitedFrame(Bytes bytes) {
    return make([&](Action& a) { a.unsolicited = std::move(bytes); });
}

} // namespace boardsim

#include "support/BoardRequests.h"

#include "bus/Protocol.h"

namespace testsupport {

namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;

constexpr uint8_t Misc = static_cast<uint8_t>(Protocol::Command::Misc);

} // namespace

boardsim::Filter upload(uint8_t address, std::optional<uint16_t> segment) {
    return boardsim::Filter{address, Misc, Protocol::Misc::Bootloader,
                            Protocol::Bootloader::Segment, segment};
}

boardsim::Filter reboot(uint8_t address) {
    return boardsim::Filter{address, Misc, Protocol::Misc::Reboot};
}

boardsim::Filter mainFile(std::optional<uint8_t> sub, std::optional<uint16_t> segment) {
    return boardsim::Filter{Protocol::AddressMain, Misc, Protocol::Misc::Files, sub, segment};
}

} // namespace testsupport

#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include "bus/BoardInfo.h"
#include "bus/BootloaderStatus.h"
#include "bus/Flags.h"
#include "bus/Protocol.h"

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bustest {
namespace {

using Command = Packet::Command;
namespace Protocol = velt::ZRV480::Bus::Protocol;

class ParserTraceTest : public CommandsBus {};

// Every command names its call in a debug line before it sends, and again,
// with the result, when it fails; both lines show the values it was given.
TEST_F(ParserTraceTest, CommandsNameTheirCallAtDebugLevel) {
    struct Case {
        Command command; // of the request that is refused
        uint8_t slot;
        std::function<ErrorCode(Parser&)> call;
        char const* start; // of the lines compared
        std::vector<std::string> lines;
    };
    int32_t number = 0;
    bool flag = false;
    double real = 0;
    uint32_t uptime = 0;
    velt::ZRV480::Bus::ValueObjects::BoardInfo info;
    velt::ZRV480::Bus::ValueObjects::Bootloader::Status status;
    velt::ZRV480::Bus::ValueObjects::Bootloader::Flags flags;
    std::vector<Case> const cases = {
        {Command::Telemetry,
         1,
         [&](Parser& p) { return p.int32Get(Packet(Psu, Command::Telemetry, 1, {}), number); },
         "[Parser] int32Get(",
         {"[Parser] int32Get(psu, 1, 1)", "[Parser] int32Get(psu, 1, 1) : BusInvalidSlot"}},
        {Command::ConfigGet,
         4,
         [&](Parser& p) { return p.doubleGet(Packet(Psu, Command::ConfigGet, 4, {}), 100, real); },
         "[Parser] doubleGet(",
         {"[Parser] doubleGet(psu, 2, 4)", "[Parser] doubleGet(psu, 2, 4) : BusInvalidSlot"}},
        {Command::ConfigGet,
         1,
         [&](Parser& p) { return p.boolGet(Packet(Psu, Command::ConfigGet, 1, {}), flag); },
         "[Parser] boolGet(",
         {"[Parser] boolGet(psu, 2, 1)", "[Parser] boolGet(psu, 2, 1) : BusInvalidSlot"}},
        {Command::ConfigGet,
         0,
         [&](Parser& p) { return p.enumGet(Packet(Psu, Command::ConfigGet, 0, {}), number); },
         "[Parser] ",
         {"[Parser] enumGet(psu, 2, 0)", "[Parser] int32Get(psu, 2, 0)",
          "[Parser] int32Get(psu, 2, 0) : BusInvalidSlot"}},
        {Command::ConfigSet,
         2,
         [&](Parser& p) {
             number = 40;
             return p.int32Set(Packet(Psu, Command::ConfigSet, 2, {}), number);
         },
         "[Parser] int32Set(",
         {"[Parser] int32Set(psu, 2, 40)", "[Parser] int32Set(psu, 2, 40) : BusInvalidSlot"}},
        {Command::ConfigSet,
         1,
         [&](Parser& p) {
             flag = true;
             return p.boolSet(Packet(Psu, Command::ConfigSet, 1, {}), flag);
         },
         "[Parser] boolSet(",
         {"[Parser] boolSet(psu, 1, 1)", "[Parser] boolSet(psu, 1, 1) : BusInvalidSlot"}},
        {Command::ConfigSet,
         4,
         [&](Parser& p) {
             real = 12.5;
             return p.doubleSet(Packet(Psu, Command::ConfigSet, 4, {}), 100, real);
         },
         "[Parser] doubleSet(",
         {"[Parser] doubleSet(psu, 3, 4)", "[Parser] doubleSet(psu, 3, 4) : BusInvalidSlot"}},
        {Command::ConfigSet,
         0,
         [&](Parser& p) { return p.enumSet(Packet(Psu, Command::ConfigSet, 0, {}), 2); },
         "[Parser] enumSet(",
         {"[Parser] enumSet(psu, 3, 0)", "[Parser] enumSet(psu, 3, 0) : BusInvalidSlot"}},
        {Command::Heartbeat,
         0,
         [&](Parser& p) { return p.heartbeat(Psu, uptime); },
         "[Parser] heartbeat(",
         {"[Parser] heartbeat(psu)", "[Parser] heartbeat(psu) : BusInvalidSlot"}},
        {Command::Misc,
         Protocol::Misc::BoardInfo,
         [&](Parser& p) { return p.boardInfoGet(Psu, info); },
         "[Parser] boardInfoGet(",
         {"[Parser] boardInfoGet(psu)", "[Parser] boardInfoGet(psu) : BusInvalidSlot"}},
        {Command::Misc,
         Protocol::Misc::Scratchpad,
         [&](Parser& p) {
             number = 5;
             return p.scratchpadSet(Psu, 3, number);
         },
         "[Parser] scratchpadSet(",
         {"[Parser] scratchpadSet(psu, 3, 5)",
          "[Parser] scratchpadSet(psu, 3, 5) : BusInvalidSlot"}},
        {Command::Misc,
         Protocol::Misc::Bootloader,
         [&](Parser& p) { return p.bootloaderStatusGet(Psu, status); },
         "[Parser] bootloaderStatusGet(",
         {"[Parser] bootloaderStatusGet(psu)",
          "[Parser] bootloaderStatusGet(psu) : BusInvalidSlot"}},
        {Command::Misc,
         Protocol::Misc::Bootloader,
         [&](Parser& p) { return p.bootloaderFlagsGet(Psu, flags); },
         "[Parser] boardOtaBootloaderFlagsGet",
         {"[Parser] boardOtaBootloaderFlagsGet 1",
          "[Parser] boardOtaBootloaderFlagsGet 1 : BusInvalidSlot"}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.lines.front());
        int const rule = onRequest(Psu, c.command, c.slot, boardsim::Action::errorReply(0x85));
        {
            testsupport::LogCapture log(Log::Level::Debug);
            EXPECT_EQ(c.call(parser), ErrorCode::BusInvalidSlot);
            std::vector<std::string> lines;
            for (std::string const& line : log.lines(c.start)) {
                // The transaction's own lines ("Transmiting", "Waiting") are not the call's.
                if (std::islower(static_cast<unsigned char>(line[std::strlen("[Parser] ")]))) {
                    lines.push_back(line);
                }
            }
            EXPECT_EQ(lines, c.lines);
        }
        sim.removeRule(rule);
    }
    Log::setLevel(Log::Level::Info);
}

} // namespace
} // namespace bustest

#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include "bus/FlagsFlash.h"
#include "bus/FlagsSd.h"
#include "bus/StatusFlash.h"
#include "bus/StatusSd.h"

#include <stdexcept>

namespace bustest {
namespace {

using namespace velt::ZRV480::Bus::ValueObjects::Bootloader;
using Command = Packet::Command;
using nlohmann::json;

constexpr uint8_t BootloaderSlot = 240;

class ParserBootloaderTest : public CommandsBus {};

// The main board's words are read with the SD tables, every other board's
// with the flash tables.
TEST_F(ParserBootloaderTest, StatusIsReadWithTheTableOfTheBoardsAddress) {
    struct Case {
        uint8_t address;
        uint16_t word;
        Status expected;
    };
    Case const cases[] = {
        {Main, 0x07FE, StatusSd(0x07FE)},
        {Psu, 0x07FE, StatusFlash(0x07FE)},
        {Psu, 0x1FFE, StatusFlash(0x1FFE)},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.word);
        sim.setBootloaderStatus(c.address, c.word);
        Status status;
        EXPECT_EQ(parser.bootloaderStatusGet(c.address, status), ErrorCode::Success);
        EXPECT_EQ(status.toJson(), c.expected.toJson());
        EXPECT_EQ(status.toJson()["error"], c.address == Main || c.word == 0x1FFE);
        std::vector<boardsim::RequestRecord> const got = requests(1);
        EXPECT_EQ(got.back().slot, BootloaderSlot);
        EXPECT_EQ(got.back().payload, (Bytes{0x01}));
        forgetRequests(1);
    }
}

TEST_F(ParserBootloaderTest, WordsTakeTwoBytesOfTheReply) {
    replyWith(Psu, Command::Misc, BootloaderSlot, {0x01, 0x00, 0xFF, 0xFF}, 0x01);
    Status status;
    EXPECT_EQ(parser.bootloaderStatusGet(Psu, status), ErrorCode::Success);
    EXPECT_EQ(status.toJson(), StatusFlash(0x0001).toJson());

    replyWith(Psu, Command::Misc, BootloaderSlot, {0x01}, 0x02);
    Flags flags(FlagsFlash::flash_flags, std::bitset<16>(0x00C1));
    EXPECT_EQ(parser.bootloaderFlagsGet(Psu, flags), ErrorCode::MalformedResponse);
    EXPECT_EQ(flags.toBitset(), 0x00C1);

    sim.clearRules();
    replyWith(Psu, Command::Misc, BootloaderSlot, {0x01}, 0x01);
    status = StatusFlash(0x0100);
    EXPECT_EQ(parser.bootloaderStatusGet(Psu, status), ErrorCode::MalformedResponse);
    EXPECT_EQ(status.toJson(), StatusFlash(0x0100).toJson());
}

TEST_F(ParserBootloaderTest, FlagsAreReadWithTheTableOfTheBoardsAddress) {
    sim.setBootloaderFlags(Main, 0x0030);
    sim.setBootloaderFlags(Psu, 0x00C1);
    Flags flags;
    EXPECT_EQ(parser.bootloaderFlagsGet(Main, flags), ErrorCode::Success);
    EXPECT_EQ(flags.toJson(), FlagsSd(0x0030).toJson());
    EXPECT_EQ(flags.toJson()["allowReinstall"], true);
    EXPECT_EQ(parser.bootloaderFlagsGet(Psu, flags), ErrorCode::Success);
    EXPECT_EQ(flags.toJson(), FlagsFlash(0x00C1).toJson());
    EXPECT_EQ(lastPayload(), (Bytes{0x02}));
}

// A write is encoded by the names of the target board's table, whatever
// table the object came with.
TEST_F(ParserBootloaderTest, FlagsWriteEncodesByTheTargetBoardsTable) {
    struct Case {
        char const* name;
        uint8_t address;
        Flags flags;
        uint16_t sent;
    };
    Case const cases[] = {
        {"allowReinstall to the main board", Main, Flags(json{{"allowReinstall", true}}), 0x0010},
        {"allowReinstall to a board", Psu, Flags(json{{"allowReinstall", true}}), 0x0040},
        {"ingoreBuild to a board", Psu, Flags(json{{"ingoreBuild", true}}), 0x0100},
        {"ingoreBuild to the main board", Main, Flags(json{{"ingoreBuild", true}}), 0x0000},
        {"flash word to the main board", Main, FlagsFlash(0x01C1), 0x00C1},
        {"default words", Psu, FlagsFlash(0x00C1), 0x00C1},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        Flags flags = c.flags;
        EXPECT_EQ(parser.bootloaderFlagsSet(c.address, flags), ErrorCode::Success);
        std::vector<boardsim::RequestRecord> const got = requests(1);
        EXPECT_EQ(got.back().slot, BootloaderSlot);
        EXPECT_EQ(got.back().payload,
                  (Bytes{0x03, static_cast<uint8_t>(c.sent), static_cast<uint8_t>(c.sent >> 8)}));
        EXPECT_EQ(sim.bootloaderFlags(c.address), c.sent);
        forgetRequests(1);
    }
}

TEST_F(ParserBootloaderTest, FlagsWriteLeavesWhatTheBoardAnswered) {
    onRequest(Psu, Command::Misc, BootloaderSlot, boardsim::Action::echoOverride({0x41, 0x00}),
              0x03);
    Flags flags(json{{"checkAll", true}});
    EXPECT_EQ(parser.bootloaderFlagsSet(Psu, flags), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x03, 0xFF, 0x01}));
    EXPECT_EQ(flags.toBitset(), 0x0041);
    EXPECT_EQ(flags.toJson(), FlagsFlash(0x0041).toJson());
}

TEST_F(ParserBootloaderTest, FailedFlagsWriteLeavesTheObjectAsGiven) {
    onRequest(Psu, Command::Misc, BootloaderSlot, boardsim::Action::dropReply(), 0x03);
    json const asked{{"ignoreCrc", true}};
    Flags flags(asked);
    EXPECT_EQ(parser.bootloaderFlagsSet(Psu, flags), ErrorCode::Timeout);
    EXPECT_EQ(flags.toJson(), Flags(asked).toJson());
    EXPECT_EQ(flags.toBitset(), 0); // still without a table
}

TEST_F(ParserBootloaderTest, AnnouncedWriteNamesTheBoard) {
    testsupport::LogCapture log;
    Flags flags = FlagsFlash(0x00C1);
    EXPECT_EQ(parser.boardBootloaderFlagsSet(Psu, flags), ErrorCode::Success);
    EXPECT_EQ(log.count("[Parser] Setting psu bootloader flags"), 1u);

    Status status;
    EXPECT_THROW(parser.boardBootloaderFlagsSet(7, flags), std::out_of_range);
    EXPECT_THROW(parser.bootloaderStatusGet(7, status), std::out_of_range);
    forgetRequests(1);
    EXPECT_TRUE(sim.requests().empty());
}

} // namespace
} // namespace bustest

#include "support/CommandsBus.h"
#include "support/LogCapture.h"

#include "bus/BoardInfo.h"
#include "bus/PatternStep.h"

#include <numeric>

namespace bustest {
namespace {

using velt::ZRV480::Bus::Light::PatternStep;
using velt::ZRV480::Bus::ValueObjects::BoardInfo;
using Command = Packet::Command;

class ParserInfoTest : public CommandsBus {};

std::array<uint8_t, 16> idBytes(uint8_t first) {
    std::array<uint8_t, 16> id{};
    std::iota(id.begin(), id.end(), first);
    return id;
}

Bytes joined(Bytes bytes, Bytes const& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

BoardInfo info(std::string firmware, uint16_t firmwareVersion, std::string board,
               uint16_t boardVersion, std::array<uint8_t, 16> id) {
    BoardInfo result;
    result.firmwareName = firmware;
    result.firmwareVersion = firmwareVersion;
    result.boardName = board;
    result.boardVersion = boardVersion;
    result.boardId = id;
    return result;
}

TEST_F(ParserInfoTest, BoardInfoReadsTheRecordAndNeverPastTheReply) {
    std::array<uint8_t, 16> const id = idBytes(0);
    Bytes const idPart(id.begin(), id.end());
    // "FW", 0, version 300, "B", 0: everything up to the board name.
    Bytes const names{0x46, 0x57, 0x00, 0x2C, 0x01, 0x42, 0x00};
    Bytes const record = joined(joined(names, {0x03}), idPart);
    BoardInfo const before = info("old", 1, "old", 1, idBytes(100));
    BoardInfo const full = info("FW", 300, "B", 3, id);
    struct Case {
        char const* name;
        Bytes payload;
        ErrorCode result;
        BoardInfo after;
    };
    Case const cases[] = {
        {"whole record", record, ErrorCode::Success, full},
        {"extra bytes ignored", joined(record, {0xEE}), ErrorCode::Success, full},
        {"ends after the board name", names, ErrorCode::Success,
         info("FW", 300, "B", 0, before.boardId)},
        {"three bytes", {0x46, 0x00, 0x2C}, ErrorCode::MalformedResponse, before},
        {"no zero at all", {0x46, 0x57, 0x2C, 0x01, 0x42}, ErrorCode::MalformedResponse, before},
        {"version cut short", {0x46, 0x57, 0x00, 0x2C}, ErrorCode::MalformedResponse, before},
        {"board name without its zero",
         {0x46, 0x57, 0x00, 0x2C, 0x01, 0x42},
         ErrorCode::MalformedResponse,
         before},
        {"id cut short", Bytes(record.begin(), record.end() - 1), ErrorCode::MalformedResponse,
         before},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRules();
        sim.clearRequests();
        replyWith(Psu, Command::Misc, 2, c.payload);
        BoardInfo read = before;
        EXPECT_EQ(parser.boardInfoGet(Psu, read), c.result);
        EXPECT_EQ(read.firmwareName, c.after.firmwareName);
        EXPECT_EQ(read.firmwareVersion, c.after.firmwareVersion);
        EXPECT_EQ(read.boardName, c.after.boardName);
        EXPECT_EQ(read.boardVersion, c.after.boardVersion);
        EXPECT_EQ(read.boardId, c.after.boardId);
        expectOnly(Psu, Command::Misc, 2, {});
    }
}

TEST_F(ParserInfoTest, ScratchpadCellsAreReadAndWrittenByIndex) {
    int32_t value = 258;
    EXPECT_EQ(parser.scratchpadSet(Psu, 4, value), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x01, 0x04, 0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(requests(1).back().slot, 255);
    EXPECT_EQ(value, 258);
    EXPECT_EQ(sim.scratchpad(Psu, 4), 258);

    sim.setScratchpad(Psu, 4, -5);
    sim.clearRequests();
    value = 0;
    EXPECT_EQ(parser.scratchpadGet(Psu, 4, value), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x00, 0x04}));
    EXPECT_EQ(value, -5);

    onRequest(Psu, Command::Misc, 255, boardsim::Action::truncated(3));
    EXPECT_EQ(parser.scratchpadGet(Psu, 4, value), ErrorCode::MalformedResponse);
    value = 9;
    EXPECT_EQ(parser.scratchpadSet(Psu, 4, value), ErrorCode::MalformedResponse);
    EXPECT_EQ(value, 9);

    sim.clearRules();
    forgetRequests(3);
    EXPECT_EQ(parser.scratchpadClear(Psu), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x02}));
    EXPECT_EQ(sim.scratchpad(Psu, 4), 0);
}

TEST_F(ParserInfoTest, LightPatternCarriesItsStepsOnTheLightSlot) {
    std::vector<PatternStep> const steps{{255, 0, 0, 500, true}, {0, 0, 0, 500, false}};
    testsupport::LogCapture log;
    EXPECT_EQ(parser.lightPatternPlay(Light, 20, steps, 3), ErrorCode::Success);
    EXPECT_EQ(log.count("[Parser] lightPlayPattern 20"), 1u);
    expectOnly(Light, Command::Misc, 20,
               (Bytes{0x02, 0x03, 0x00, 0x00, 0xFF, 0x01, 0xF4, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0xF4, 0x01, 0x00, 0x00}));

    sim.clearRequests();
    EXPECT_EQ(parser.lightPatternPlay(Light, 20, {}, 7), ErrorCode::Success);
    EXPECT_EQ(lastPayload(), (Bytes{0x00, 0x07}));
}

// The count byte cannot describe more than 255 steps.
TEST_F(ParserInfoTest, LightPatternOfMoreThan255StepsIsRefusedUnsent) {
    std::vector<PatternStep> steps(255, PatternStep{1, 2, 3, 10, false});
    parser.lightPatternPlay(Light, 20, steps, 1);
    std::vector<boardsim::RequestRecord> const got = requests(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload.at(0), 255);
    forgetRequests(got.size());
    steps.push_back(PatternStep{});
    EXPECT_EQ(parser.lightPatternPlay(Light, 20, steps, 1), ErrorCode::MalformedRequest);
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(ParserInfoTest, BusStatisticsCountTheCommandsRequests) {
    onRequest(Psu, Command::Misc, 255, boardsim::Action::dropReply());
    int32_t value = 0;
    EXPECT_EQ(parser.scratchpadGet(Psu, 4, value), ErrorCode::Timeout);
    nlohmann::json const stats = parser.getBusStatistics().toJson();
    EXPECT_EQ(stats["psu"]["timeouts"], 3);
}

} // namespace
} // namespace bustest

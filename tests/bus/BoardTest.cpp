#include "bus/Board.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <climits>

using namespace velt::ZRV480::Bus;

namespace {

Board makeBoard(std::map<uint8_t, std::string> statuses,
                std::map<uint8_t, Board::Telemetry> telemetries = {},
                std::map<uint8_t, Board::Config> configs = {},
                std::map<uint8_t, Board::EnumValues> enums = {},
                std::map<uint8_t, std::string> actions = {}) {
    return Board(0x10, "lights", "lights.bin", 15, statuses, telemetries, configs, actions, enums);
}

TEST(BoardTest, StatusMaskUsesSlotModulo64WithoutBitZero) {
    struct Case {
        std::vector<uint8_t> slots;
        uint64_t mask;
    };
    const Case cases[] = {
        {{0}, 0},
        {{0, 1, 5}, 0x22},
        {{0, 1, 2, 63}, 0x8000000000000006},
        {{0, 1, 2, 63, 64}, 0x8000000000000006},
        {{0, 1, 2, 63, 64, 66}, 0x8000000000000006},
        {{0, 65}, 0x2},
        {{0, 127, 255}, 0x8000000000000000},
    };
    for (auto const& c : cases) {
        std::map<uint8_t, std::string> statuses;
        for (uint8_t slot : c.slots) {
            statuses[slot] = "s";
        }
        const Board board = makeBoard(statuses);
        EXPECT_EQ(board.getStatusMask(), c.mask) << c.slots.size();
        EXPECT_EQ(board.calculateStatusMask(), c.mask);
    }
}

TEST(BoardTest, IdToStrReadsFourLittleEndianWords) {
    std::array<uint8_t, 16> id{};
    EXPECT_EQ(Board::idToStr(id), "00000000-00000000-00000000-00000000");
    for (size_t i = 0; i < id.size(); ++i) {
        id[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(Board::idToStr(id), "03020100-07060504-0b0a0908-0f0e0d0c");
    id.fill(0xFF);
    EXPECT_EQ(Board::idToStr(id), "ffffffff-ffffffff-ffffffff-ffffffff");
}

TEST(BoardTest, EnumValuesOfASlotWithoutTableThrow) {
    const Board board =
        makeBoard({{0, "fatal"}}, {{3, {"state", SlotType::Enum, 0}}}, {}, {{3, {{0, "idle"}}}});
    EXPECT_EQ(board.getConfigEnumValues(3).at(0), "idle");
    EXPECT_THROW(board.getConfigEnumValues(4), std::out_of_range);
}

TEST(BoardTest, CopyIsIndependentAndLogsUnderTheSameName) {
    auto original = std::make_unique<Board>(makeBoard({{0, "fatal"}, {1, "hot"}}));
    const Board copy = *original;
    original.reset();
    EXPECT_EQ(copy.getName(), "lights");
    EXPECT_EQ(copy.getStatuses().at(1), "hot");
    EXPECT_EQ(copy.getStatusMask(), 0x2u);

    testsupport::LogCapture capture;
    copy.printActions();
    EXPECT_EQ(capture.count("[Board::lights]  - Actions: 0"), 1u);
}

TEST(BoardTest, PrintWritesEverySection) {
    const Board board =
        makeBoard({{0, "fatal"}, {1, "ledFault"}},
                  {{0, {"ledCurrent", SlotType::Double, 10}},
                   {1, {"colour", SlotType::Color, 0}},
                   {2, {"mode", SlotType::Enum, 0}},
                   {3, {"empty", SlotType::Enum, 0}},
                   {4, {"count", SlotType::Int32, 0}}},
                  {{10, {"level", SlotType::Double, 10, -5, INT32_MAX}},
                   {11, {"gain", SlotType::Double, 2, INT32_MIN, INT32_MAX}},
                   {12, {"lightP1", SlotType::Int32, 0, 0, 255}},
                   {13, {"raw", SlotType::Int32, 0, INT32_MIN, INT32_MAX}},
                   {14, {"on", SlotType::Bool, 0, 0, 0}},
                   {15, {"fan", SlotType::Enum, 0, 0, 0}}},
                  {{2, {{0, "off"}, {1, "on"}}}, {3, {}}, {15, {{0, "auto"}, {2, "high"}}}},
                  {{0, "lampTest"}});
    testsupport::LogCapture capture;
    board.print();
    const std::string expected[] = {
        "[Board::lights] Board[0x10]: lights\n",
        "[Board::lights]   - Firmare:\n",
        "[Board::lights]     - Filename: lights.bin\n",
        "[Board::lights]     - Version: 15\n",
        "[Board::lights]   - Telemetries: 5\n",
        "[Board::lights]     - 0x00: Double ledCurrent (multiplier=10)\n",
        "[Board::lights]     - 0x01: Color  colour\n",
        "[Board::lights]     - 0x02: Enum   mode (values={off, on, })\n",
        "[Board::lights]     - 0x03: Enum   empty (values={})\n",
        "[Board::lights]     - 0x04: Int32  count\n",
        "[Board::lights]  - Configurations: 6\n",
        "[Board::lights]     - 0x0A: Double level (multiplier=10, min=-5)\n",
        "[Board::lights]     - 0x0B: Double gain (multiplier=2)\n",
        "[Board::lights]     - 0x0C: Int32  lightP1 (min=0, max=255)\n",
        "[Board::lights]     - 0x0D: Int32  raw\n",
        "[Board::lights]     - 0x0E: Bool   on\n",
        "[Board::lights]     - 0x0F: Enum   fan (values={auto, high, })\n",
        "[Board::lights]  - Statuses: 2\n",
        "[Board::lights]     - 0x00: fatal \n",
        "[Board::lights]     - 0x01: ledFault\n",
        "[Board::lights]  - Actions: 1\n",
        "[Board::lights]     - 0x00: lampTest\n",
    };
    const std::string text = capture.text();
    size_t at = 0;
    for (std::string const& line : expected) {
        const size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "in\n" << text;
        at = found + line.size();
    }
}

TEST(BoardTest, PrintOfAnEmptyBoardStillCounts) {
    const Board board(0, "main", "main.bin", 100, {{0, "fatal"}}, {}, {}, {}, {});
    testsupport::LogCapture capture;
    board.print();
    EXPECT_EQ(capture.count("  - Telemetries: 0\n"), 1u);
    EXPECT_EQ(capture.count(" - Configurations: 0\n"), 1u);
    EXPECT_EQ(capture.count(" - Actions: 0\n"), 1u);
    EXPECT_EQ(capture.count("    - Version: 100\n"), 1u);
}

} // namespace

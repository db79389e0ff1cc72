#include "bus/BoardInfo.h"
#include "bus/BusReport.h"
#include "bus/Color.h"
#include "bus/PatternStep.h"
#include "bus/SlotType.h"

#include <gtest/gtest.h>

using namespace velt::ZRV480::Bus;
using namespace velt::ZRV480::Bus::ValueObjects;

namespace {

TEST(ColorTest, ToJsonHasUnsignedMembers) {
    const nlohmann::json json = Color{255, 0, 16}.toJson();
    EXPECT_EQ(json.dump(), R"({"b":16,"g":0,"r":255})");
    for (char const* key : {"r", "g", "b"}) {
        EXPECT_TRUE(json.at(key).is_number_unsigned()) << key;
    }
}

TEST(BoardInfoTest, EmptyAndCopied) {
    const BoardInfo empty;
    EXPECT_EQ(empty.boardName, "");
    EXPECT_EQ(empty.boardVersion, 0);
    EXPECT_EQ(empty.firmwareVersion, 0);
    EXPECT_EQ(empty.boardId, (std::array<uint8_t, 16>{}));

    BoardInfo info;
    info.boardName = "psu";
    info.boardId = {0, 1, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7E};
    info.firmwareVersion = 123;
    const BoardInfo copy = info;
    info.boardName = "changed";
    EXPECT_EQ(copy.boardName, "psu");
    EXPECT_EQ(copy.boardId,
              (std::array<uint8_t, 16>{0, 1, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7E}));
    EXPECT_EQ(copy.firmwareVersion, 123);
}

TEST(PlainValuesTest, StartZeroed) {
    const Light::PatternStep step;
    EXPECT_EQ(step.r + step.g + step.b, 0);
    EXPECT_EQ(step.duration, 0u);
    EXPECT_FALSE(step.transition);
    const BusReport report;
    EXPECT_EQ(report.total + report.connected + report.rx + report.tx + report.quality, 0);
}

TEST(SlotTypeTest, Names) {
    const std::pair<SlotType, char const*> cases[] = {
        {SlotType::Int32, "Int32"}, {SlotType::Bool, "Bool"},   {SlotType::Double, "Double"},
        {SlotType::Enum, "Enum"},   {SlotType::Color, "Color"},
    };
    for (auto const& [type, name] : cases) {
        EXPECT_EQ(slotTypeToStr(type), name);
    }
    EXPECT_EQ(slotTypeToStr(static_cast<SlotType>(5)), "Unknown");
}

} // namespace

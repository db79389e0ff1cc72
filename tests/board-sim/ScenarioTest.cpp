#include "Scenario.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>

using boardsim::Scenario;
using boardsim::ScenarioError;
using boardsim::SlotKind;
using nlohmann::json;

namespace {

struct InvalidCase {
    char const* name;
    char const* json;
    char const* message; // part of the error text
};

class InvalidScenarioTest : public ::testing::TestWithParam<InvalidCase> {};

} // namespace

TEST_P(InvalidScenarioTest, isRefusedWithAReason) {
    try {
        Scenario::fromJson(json::parse(GetParam().json));
        FAIL() << "accepted";
    } catch (ScenarioError const& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Scenarios, InvalidScenarioTest, ::testing::Values(
    InvalidCase{"no_main_board", R"({"boards": [{"address": 1}]})", "main board"},
    InvalidCase{"duplicate_address", R"({"boards": [{"address": 0}, {"address": 3}, {"address": 3}]})",
                "boards[2].address: duplicate address 3"},
    InvalidCase{"console_address", R"({"boards": [{"address": 0}, {"address": 200}]})", "200"},
    InvalidCase{"broadcast_address", R"({"boards": [{"address": 0}, {"address": 255}]})", "out of range"},
    InvalidCase{"light_on_misc_slot", R"({"boards": [{"address": 0, "config": {"5": {"light": true}}}]})",
                "a light slot cannot use Misc slot 5"},
    InvalidCase{"light_on_bootloader_slot",
                R"({"boards": [{"address": 0, "config": {"240": {"light": true}}}]})", "Misc slot 240"},
    InvalidCase{"light_on_files_slot",
                R"({"boards": [{"address": 0, "config": {"241": {"light": true}}}]})", "Misc slot 241"},
    InvalidCase{"light_on_scratchpad_slot",
                R"({"boards": [{"address": 0, "config": {"255": {"light": true}}}]})", "Misc slot 255"},
    InvalidCase{"telemetry_light", R"({"boards": [{"address": 0, "telemetry": {"9": {"light": true}}}]})",
                "only configuration slots"},
    InvalidCase{"bad_slot_number", R"({"boards": [{"address": 0, "config": {"x": {}}}]})", "slot 'x'"},
    InvalidCase{"slot_out_of_range", R"({"boards": [{"address": 0, "config": {"256": {}}}]})", "slot '256'"},
    InvalidCase{"status_slot_zero", R"({"boards": [{"address": 0, "statusN": {"0": {}}}]})", "slot '0'"},
    InvalidCase{"unknown_kind", R"({"boards": [{"address": 0, "config": {"1": {"kind": "text"}}}]})",
                "unknown kind"},
    InvalidCase{"raw_and_value", R"({"boards": [{"address": 0, "config": {"1": {"raw": 1, "value": 1}}}]})",
                "either raw or value"},
    InvalidCase{"unknown_field", R"({"boards": [{"address": 0, "colour": 1}]})", "unknown field 'colour'"},
    InvalidCase{"main_extras_elsewhere", R"({"boards": [{"address": 0}, {"address": 1, "clock": 5}]})",
                "belong to the main board"},
    InvalidCase{"bad_board_id", R"({"boards": [{"address": 0, "info": {"boardId": "12"}}]})",
                "32 hexadecimal digits"},
    InvalidCase{"bad_base64", R"({"boards": [{"address": 0, "files": {"a": "abc"}}]})", "invalid base64"},
    InvalidCase{"bind_elsewhere", R"({"bind": "0.0.0.0", "boards": [{"address": 0}]})", "only 127.0.0.1"},
    InvalidCase{"bad_mode", R"({"absentMode": "quiet", "boards": [{"address": 0}]})", "absentMode"}),
    [](const ::testing::TestParamInfo<InvalidCase>& paramInfo) { return std::string(paramInfo.param.name); });
// clang-format on

TEST(Scenario, valuesAreEncodedAsTheBoardStoresThem) {
    const Scenario s = Scenario::fromJson(json::parse(R"({"boards": [{"address": 0, "config": {
        "1": {"kind": "double", "multiplier": 100, "value": -1.255},
        "2": {"kind": "bool", "value": true},
        "3": {"kind": "color", "value": {"r": 1, "g": 2, "b": 3}},
        "4": {"kind": "enum", "enumCount": 3, "value": 2}},
        "files": {"a.txt": "YWJj", "e": ""},
        "info": {"boardId": "000102030405060708090a0b0c0d0eFF"}}]})"));
    auto const& config = s.boards[0].config;
    EXPECT_EQ(config.at(1).raw, -125);
    EXPECT_EQ(config.at(2).raw, 1);
    EXPECT_EQ(config.at(3).raw, 0x010203);
    EXPECT_EQ(config.at(4).raw, 2);
    EXPECT_EQ(config.at(4).kind, SlotKind::Enum);
    EXPECT_EQ(s.main.files.at("a.txt"), (boardsim::Bytes{'a', 'b', 'c'}));
    EXPECT_TRUE(s.main.files.at("e").empty());
    EXPECT_EQ(s.boards[0].info.boardId[1], 1);
    EXPECT_EQ(s.boards[0].info.boardId[15], 0xFF);
}

TEST(Scenario, aFileWithTwoEqualSlotsIsRefused) {
    const std::string path = ::testing::TempDir() + "/duplicate-slot.json";
    std::ofstream(path)
        << R"({"boards": [{"address": 0, "config": {"1": {"raw": 1}, "1": {"raw": 2}}}]})";
    try {
        Scenario::fromFile(path);
        FAIL() << "accepted";
    } catch (ScenarioError const& e) {
        EXPECT_NE(std::string(e.what()).find("duplicate key '1'"), std::string::npos) << e.what();
    }
    std::remove(path.c_str());
    EXPECT_THROW(Scenario::fromFile(path), ScenarioError) << "missing file";
}

// The shipped scenario must describe the boards of the fixture schema, or the
// demo and the end-to-end tests talk to boards the service does not know.
TEST(Scenario, theDefaultMatchesTheFixtureSchema) {
    const Scenario scenario = Scenario::defaults();
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(BM_FIXTURES_DIR "/schema.xml"), tinyxml2::XML_SUCCESS);
    size_t nodes = 0;
    for (auto* node = doc.RootElement()->FirstChildElement("node"); node;
         node = node->NextSiblingElement("node"), ++nodes) {
        int const address = std::stoi(node->FirstChildElement("address")->GetText(), nullptr, 0);
        SCOPED_TRACE("board " + std::to_string(address));
        boardsim::BoardSpec const* board = nullptr;
        for (auto const& b : scenario.boards) {
            board = b.address == address ? &b : board;
        }
        ASSERT_TRUE(board);
        // "v1.2.3" is version 123.
        std::string version = node->FirstChildElement("version")->GetText();
        version.erase(std::remove_if(version.begin(), version.end(),
                                     [](char c) { return c == 'v' || c == '.'; }),
                      version.end());
        EXPECT_EQ(board->info.firmwareVersion, std::stoi(version));
        auto const* name = node->FirstChildElement("name");
        EXPECT_EQ(board->name,
                  name->Attribute("alias") ? name->Attribute("alias") : name->GetText());

        for (char const* table : {"telemetry", "config"}) {
            auto const& slots = std::string(table) == "config" ? board->config : board->telemetry;
            size_t count = 0;
            for (auto* e = node->FirstChildElement(table); e;
                 e = e->NextSiblingElement(table), ++count) {
                int const slot = e->IntAttribute("slot");
                SCOPED_TRACE(std::string(table) + " " + std::to_string(slot));
                ASSERT_TRUE(slots.count(uint8_t(slot)));
                auto const& spec = slots.at(uint8_t(slot));
                const std::string type = e->FirstChildElement("type")->GetText();
                bool const scaled = e->FirstChildElement("multi") != nullptr;
                const SlotKind expected = type == "BOOL"    ? SlotKind::Bool
                                          : type == "ENUM"  ? SlotKind::Enum
                                          : type == "COLOR" ? SlotKind::Color
                                          : scaled          ? SlotKind::Double
                                                            : SlotKind::Int32;
                EXPECT_EQ(spec.kind, expected);
                if (scaled) {
                    EXPECT_EQ(spec.multiplier, e->FirstChildElement("multi")->IntText());
                }
                if (type == "ENUM") {
                    int values = 0;
                    for (auto* v = e->FirstChildElement("value"); v;
                         v = v->NextSiblingElement("value")) {
                        ++values;
                    }
                    EXPECT_EQ(spec.enumCount, values);
                }
                for (char const* bound : {"min", "max"}) {
                    if (auto* b = e->FirstChildElement(bound)) {
                        EXPECT_EQ(std::string(bound) == "min" ? spec.min : spec.max, b->IntText());
                        EXPECT_GE(spec.raw, spec.min.value_or(INT32_MIN));
                        EXPECT_LE(spec.raw, spec.max.value_or(INT32_MAX));
                    }
                }
            }
            EXPECT_EQ(slots.size(), count);
        }
        for (auto* e = node->FirstChildElement("status"); e; e = e->NextSiblingElement("status")) {
            int const slot = e->IntAttribute("slot");
            EXPECT_TRUE(slot == 0 || board->statusN.count(uint8_t(slot))) << "status " << slot;
        }
        for (auto* e = node->FirstChildElement("action"); e; e = e->NextSiblingElement("action")) {
            EXPECT_TRUE(board->actions.count(uint8_t(e->IntAttribute("slot"))));
        }
    }
    EXPECT_EQ(scenario.boards.size(), nodes);
    // The light board's colour and brightness slots are lights.
    for (auto const& b : scenario.boards) {
        if (b.address == 16) {
            EXPECT_TRUE(b.config.at(10).light);
            EXPECT_TRUE(b.config.at(20).light);
        }
    }
}

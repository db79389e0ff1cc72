#include "bus/Schema.h"
#include "bus/CamelCaser.h"
#include "bus/MD5.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/RandomInput.h"
#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <string>

using namespace velt::ZRV480::Bus;
using velt::ZRV480::Bus::Common::CamelCaser;
using velt::ZRV480::Bus::Common::MD5;

namespace {

std::string fixture(std::string const& name) {
    return std::string(BM_FIXTURES_DIR) + "/schemas/" + name;
}

// Loads a schema while capturing what it logs.
struct Loaded {
    explicit Loaded(std::string const& path) {
        testsupport::LogCapture capture;
        schema = std::make_unique<Schema>(path);
        log = capture.text();
    }
    Board const& board(uint8_t address) const { return schema->getBoards().at(address); }

    std::unique_ptr<Schema> schema;
    std::string log;
};

std::vector<uint8_t> addresses(Schema const& schema) {
    std::vector<uint8_t> result;
    for (auto const& entry : schema.getBoards()) {
        result.push_back(entry.first);
    }
    return result;
}

// Each file breaks one loader rule (or several in one node); the reading
// stops with the rule's messages, in order, and keeps the boards before it.
TEST(SchemaTest, LoaderRulesAndTheirMessages) {
    struct Case {
        char const* file;
        bool valid;
        std::vector<uint8_t> boards;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"root-not-schema.xml", false, {}, {"element 'schema' is missing"}},
        {"no-main-board.xml", false, {5, 7}, {}},
        {"duplicate-address.xml", false, {0}, {"Node[2] element 'mask' length is not 10"}},
        {"missing-elements.xml",
         false,
         {},
         {"Node[0] element 'address' is missing", "Node[0] element 'mask' is missing",
          "Node[0] element 'version' is missing"}},
        {"address-length.xml", false, {}, {"Node[0] element 'address' length is not 4"}},
        {"mask-length.xml", false, {}, {"Node[0] element 'mask' length is not 10"}},
        {"version-two-segments.xml",
         false,
         {},
         {"Node[0] element 'version' segments is not 3 (actual=2)"}},
        {"version-four-segments.xml",
         false,
         {},
         {"Node[0] element 'version' segments is not 3 (actual=4)"}},
        {"version-format.xml",
         false,
         {},
         {"Node[0] element 'version' not expected format 'v[digit].[digit].[digit]'"}},
        {"node-faults-together.xml",
         false,
         {},
         {"Node[0] element 'address' length is not 4", "Node[0] element 'mask' length is not 10",
          "Node[0] element 'version' segments is not 3 (actual=1)",
          "Node[0]: element 'name' is empty"}},
        {"name-empty.xml", false, {}, {"Node[0]: element 'name' is empty"}},
        {"multi-fraction.xml",
         false,
         {},
         {"Node[0] Telemetry[0]: element 'multi' is not a number '1.5'"}},
        {"multi-hex.xml",
         false,
         {},
         {"Node[0] Telemetry[0]: element 'multi' is not a number '0x10'"}},
        {"min-not-number.xml",
         false,
         {},
         {"Node[0] Config[0]: element 'min' is not a number 'low'"}},
        {"max-not-number.xml",
         false,
         {},
         {"Node[0] Config[0]: element 'max' is not a number ' 5'"}},
        {"slot-missing.xml", false, {}, {"Node[0] Status[0]: attribute 'slot' is missing"}},
        {"slot-negative.xml",
         false,
         {},
         {"Node[0] Telemetry[0]: attribute 'slot' is not unsigned int '-1'"}},
        {"slot-action-text.xml",
         false,
         {},
         {"Node[0] Action[0]: attribute 'slot' is not unsigned int 'abc'"}},
        {"slot-config-text.xml",
         false,
         {},
         {"Node[0] Config[0]: attribute 'slot' is not unsigned int\n"}},
        {"slot-name-missing.xml", false, {}, {"Node[0] Telemetry[0]: element 'name' is missing"}},
        {"slot-name-empty.xml",
         false,
         {},
         {"Node[0] Config[0]: element 'name' is empty",
          "Node[0] Config[0]: alias could not be extracted or generated"}},
        {"type-missing.xml", false, {}, {"Node[0] Telemetry[0]: element 'type' is missing"}},
        {"type-empty.xml", false, {}, {"Node[0] Config[0]: Unknown telemetry type ''"}},
        {"type-unknown.xml", false, {}, {"Node[0] Telemetry[0]: Unknown telemetry type 'bool'"}},
        {"ota.xml", true, {0, 1}, {"Node[0] element 'ota' is missing"}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.file);
        const Loaded loaded(fixture(c.file));
        EXPECT_EQ(loaded.schema->isValid(), c.valid);
        EXPECT_EQ(addresses(*loaded.schema), c.boards);
        size_t at = 0;
        for (std::string const& message : c.messages) {
            const size_t found = loaded.log.find("[Schema] " + message, at);
            ASSERT_NE(found, std::string::npos) << message << " in\n" << loaded.log;
            at = found;
        }
        if (c.messages.empty()) {
            EXPECT_EQ(loaded.log.find("[Schema]"), std::string::npos) << loaded.log;
        }
        // A node that failed is never read past: later nodes stay unread.
        EXPECT_EQ(loaded.log.find("Node[1]"), std::string::npos) << loaded.log;
    }
}

TEST(SchemaTest, FixtureSchemaDescribesThreeBoards) {
    const Loaded loaded(std::string(BM_FIXTURES_DIR) + "/schema.xml");
    Schema const& schema = *loaded.schema;
    ASSERT_TRUE(schema.isValid()) << loaded.log;
    EXPECT_EQ(schema.getBoardNames(), (std::map<uint8_t, std::string>{
                                          {0, "mainBoard"}, {1, "psu"}, {16, "lightController"}}));

    Board const& psu = loaded.board(1);
    EXPECT_EQ(psu.getFirmwareFilename(), "psu.bin");
    EXPECT_EQ(psu.getExpectedFirmwareVersion(), 123);
    EXPECT_EQ(psu.getTelemetries().at(0).name, "inputVoltage");
    EXPECT_EQ(psu.getTelemetries().at(0).type, SlotType::Double);
    EXPECT_EQ(psu.getTelemetries().at(0).multiplier, 100);
    EXPECT_EQ(psu.getConfigEnumValues(3),
              (Board::EnumValues{{0, "idle"}, {1, "charging"}, {2, "full"}, {3, "fault"}}));
    EXPECT_EQ(psu.getConfigEnumValues(0),
              (Board::EnumValues{{0, "auto"}, {1, "low"}, {2, "high"}}));
    Board::Config const& limit = psu.getConfigs().at(4);
    EXPECT_EQ(limit.type, SlotType::Double);
    EXPECT_EQ(limit.min, 1100);
    EXPECT_EQ(limit.max, 1500);
    EXPECT_EQ(psu.getStatuses().at(0), "fatal");
    EXPECT_EQ(psu.getStatusMask(), 0x52u);
    EXPECT_EQ(psu.getActions().at(0), "startBatteryTest");

    EXPECT_EQ(loaded.board(0).getConfigEnumValues(0),
              (Board::EnumValues{{0, "slow"}, {1, "fast"}}));
    EXPECT_EQ(loaded.board(16).getExpectedFirmwareVersion(), 15);
    EXPECT_EQ(loaded.board(16).getConfigs().at(20).type, SlotType::Color);
}

TEST(SchemaTest, CompactTextAndItsMd5) {
    const Loaded loaded(fixture("small.xml"));
    const std::string compact =
        "<?xml version=\"1.0\"?><!-- kept in the compact text --><schema><node>"
        "<address>0x00</address><mask>0xFFFFFFFF</mask><name>Main</name>"
        "<version>v1.0.0</version></node></schema>";
    std::vector<uint8_t> const& binary = loaded.schema->getBinary();
    EXPECT_EQ(std::string(binary.begin(), binary.end()), compact);
    EXPECT_EQ(MD5::toString(loaded.schema->getHash()), "19b7300b1eac2453e79cd1c769ea009e");
    EXPECT_TRUE(loaded.schema->isValid());
}

TEST(SchemaTest, CompactTextExistsEvenWhenTheBoardsFail) {
    const Loaded loaded(fixture("root-not-schema.xml"));
    std::vector<uint8_t> const& binary = loaded.schema->getBinary();
    const std::string text(binary.begin(), binary.end());
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?><boards><node>", 0), 0u);
    EXPECT_EQ(loaded.schema->getHash(), MD5::calculate(binary));
}

TEST(SchemaTest, UnreadableFilesLeaveNothing) {
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {fixture("missing.xml"), "[Schema] Could not open file '" + fixture("missing.xml") +
                                     "': No such file or directory"},
        {fixture("not-xml.xml"), "[Schema] Could not parse '" + fixture("not-xml.xml") +
                                     "': [14] 'XML_ERROR_MISMATCHED_ELEMENT'"},
    };
    for (auto const& c : cases) {
        const Loaded loaded(c.path);
        EXPECT_FALSE(loaded.schema->isValid());
        EXPECT_TRUE(loaded.schema->getBoards().empty());
        EXPECT_TRUE(loaded.schema->getBinary().empty());
        EXPECT_EQ(loaded.schema->getHash(), (std::array<uint8_t, 16>{}));
        EXPECT_NE(loaded.log.find(c.message), std::string::npos) << loaded.log;
    }
}

class SchemaFiles : public bustest::TempDir {};

// Only comments and blanks may follow the root element; anything else means a
// damaged file, refused as a whole with the parse error.
TEST_F(SchemaFiles, ContentAfterTheRootElementIsAParseError) {
    std::ifstream small(fixture("small.xml"));
    const std::string text((std::istreambuf_iterator<char>(small)),
                           std::istreambuf_iterator<char>());
    struct Case {
        char const* tail;
        char const* error; // nullptr: the file is valid
    };
    const Case cases[] = {
        {"text</x>", "XML_ERROR_MISMATCHED_ELEMENT"},
        {"text<!-- c -->", "XML_ERROR_PARSING_TEXT"},
        {"</x>", "XML_ERROR_MISMATCHED_ELEMENT"},
        {"</x><schema/>", "XML_ERROR_MISMATCHED_ELEMENT"},
        {"<schema/>", "XML_ERROR_PARSING_ELEMENT"},
        {"<", "XML_ERROR_PARSING"}, // tinyxml2 refuses this one itself
        {"\n<!-- end -->\n", nullptr},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.tail);
        const std::string path = write("schema.xml", text + c.tail);
        const Loaded loaded(path);
        EXPECT_EQ(loaded.schema->isValid(), c.error == nullptr) << loaded.log;
        if (c.error == nullptr) {
            continue;
        }
        EXPECT_TRUE(loaded.schema->getBoards().empty());
        EXPECT_TRUE(loaded.schema->getBinary().empty());
        const std::string expected = "[Schema] Could not parse '" + path + "': [";
        EXPECT_NE(loaded.log.find(expected), std::string::npos) << loaded.log;
        EXPECT_NE(loaded.log.find(std::string("'") + c.error + "'"), std::string::npos)
            << loaded.log;
    }
}

TEST(SchemaTest, DefaultLoadsSchemaXmlBesideTheExecutable) {
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::string expected = self;
    expected = expected.substr(0, expected.rfind('/')) + "/schema.xml";

    testsupport::LogCapture capture;
    const Schema schema;
    EXPECT_FALSE(schema.isValid());
    EXPECT_NE(capture.text().find("[Schema] Could not open file '" + expected + "'"),
              std::string::npos)
        << capture.text();
}

TEST(SchemaTest, DuplicateAddressKeepsTheFirstBoard) {
    const Loaded loaded(fixture("duplicate-address.xml"));
    EXPECT_EQ(loaded.board(0).getName(), "first");
}

// Hex digits of either case; 0x0a lands on 0x0A's board and is dropped.
TEST(SchemaTest, AddressUsesTheLastTwoHexDigits) {
    const Loaded loaded(fixture("addresses.xml"));
    EXPECT_TRUE(loaded.schema->isValid());
    EXPECT_EQ(addresses(*loaded.schema), (std::vector<uint8_t>{0, 10, 11, 31}));
    EXPECT_EQ(loaded.board(10).getName(), "upper");
    EXPECT_EQ(loaded.board(11).getName(), "lower");
    EXPECT_EQ(loaded.board(31).getName(), "prefix");
}

TEST(SchemaTest, VersionRule) {
    const Loaded loaded(fixture("versions.xml"));
    ASSERT_TRUE(loaded.schema->isValid()) << loaded.log;
    // v1.2.3, v0.1.5, v1.0.2, v0.0.0, 1.2.3, v2.5.6 (256 kept to 8 bits),
    // v0.05.1 (joined 051, read as octal 51).
    int const expected[] = {123, 15, 102, 0, 123, 0, 41};
    for (uint8_t i = 0; i < 7; ++i) {
        EXPECT_EQ(loaded.board(i + 1).getExpectedFirmwareVersion(), expected[i]) << int(i);
    }
}

TEST(SchemaTest, NameRule) {
    const Loaded loaded(fixture("names.xml"));
    EXPECT_EQ(loaded.schema->getBoardNames(),
              (std::map<uint8_t, std::string>{{0, "main"},
                                              {1, "powerSupplyUnit"},
                                              {2, "InputVoltage"},
                                              {3, "channel1"},
                                              {4, "channel"},
                                              {5, "dcInCurrent"}}));
}

TEST(SchemaTest, FirmwareFileName) {
    const Loaded loaded(fixture("ota.xml"));
    EXPECT_EQ(loaded.board(0).getFirmwareFilename(), "main.bin");
    EXPECT_EQ(loaded.board(1).getFirmwareFilename(), "");
    EXPECT_EQ(loaded.log.find("Node[1]"), std::string::npos);
}

TEST(SchemaTest, SlotLists) {
    const Loaded loaded(fixture("slots.xml"));
    ASSERT_TRUE(loaded.schema->isValid()) << loaded.log;
    Board const& board = loaded.board(0);

    auto const& telemetries = board.getTelemetries();
    ASSERT_EQ(telemetries.size(), 3u);
    EXPECT_EQ(telemetries.at(1).name, "second");
    EXPECT_EQ(telemetries.at(1).type, SlotType::Double);
    EXPECT_EQ(telemetries.at(1).multiplier, 10);
    EXPECT_EQ(telemetries.at(2).name, "wrapped");    // slot 258
    EXPECT_EQ(telemetries.at(0).name, "hexLooking"); // " 0x10" reads as 0

    EXPECT_EQ(board.getConfigs().size(), 1u); // "module5" is left out
    EXPECT_EQ(board.getConfigs().at(1).name, "kept");
    EXPECT_EQ(board.getConfigEnumValues(0), (Board::EnumValues{{0, "a"}}));

    EXPECT_EQ(board.getStatuses(), (std::map<uint8_t, std::string>{{0, "fatal"}, {3, "overHeat"}}));
    EXPECT_EQ(board.getStatusMask(), 0x8u);
    EXPECT_EQ(board.getActions(), (std::map<uint8_t, std::string>{{2, "selfTest"}}));
}

TEST(SchemaTest, NumberRule) {
    const Loaded loaded(fixture("numbers.xml"));
    ASSERT_TRUE(loaded.schema->isValid()) << loaded.log;
    Board const& board = loaded.board(0);
    struct Case {
        uint8_t slot;
        SlotType type;
        uint8_t multiplier;
    };
    const Case telemetries[] = {
        {0, SlotType::Int32, 0}, {1, SlotType::Int32, 0},  {2, SlotType::Double, 10},
        {3, SlotType::Int32, 0}, {4, SlotType::Double, 8}, {5, SlotType::Int32, 0},
    };
    for (auto const& c : telemetries) {
        EXPECT_EQ(board.getTelemetries().at(c.slot).type, c.type) << int(c.slot);
        EXPECT_EQ(board.getTelemetries().at(c.slot).multiplier, c.multiplier) << int(c.slot);
    }
    struct Bounds {
        uint8_t slot;
        SlotType type;
        int32_t min;
        int32_t max;
    };
    const Bounds configs[] = {
        {0, SlotType::Int32, -100, INT32_MAX},
        {1, SlotType::Double, -5, 8}, // "010" is octal
        {2, SlotType::Bool, 0, 0},
        {3, SlotType::Int32, INT32_MIN, -1}, // the low 32 bits of 4294967295
    };
    for (auto const& c : configs) {
        Board::Config const& config = board.getConfigs().at(c.slot);
        EXPECT_EQ(config.type, c.type) << int(c.slot);
        EXPECT_EQ(config.min, c.min) << int(c.slot);
        EXPECT_EQ(config.max, c.max) << int(c.slot);
    }
}

TEST(SchemaTest, EnumTables) {
    const Loaded loaded(fixture("enums.xml"));
    ASSERT_TRUE(loaded.schema->isValid()) << loaded.log;
    Board const& board = loaded.board(0);
    EXPECT_EQ(board.getConfigEnumValues(3), (Board::EnumValues{{0, "off"}, {2, "on"}}));
    EXPECT_EQ(board.getConfigEnumValues(4), (Board::EnumValues{{0, "lo"}, {1, "high"}}));
    EXPECT_EQ(board.getConfigEnumValues(5), (Board::EnumValues{{0, "slow"}, {1, "fast"}}));
    EXPECT_TRUE(board.getConfigEnumValues(6).empty());

    EXPECT_EQ(std::count(loaded.log.begin(), loaded.log.end(), '\n'), 2) << loaded.log;
    EXPECT_NE(loaded.log.find("[Schema] Node[0] Telemetry[0]: element 'value' is empty"),
              std::string::npos);
    EXPECT_NE(loaded.log.find("board 'main' slot 4"), std::string::npos) << loaded.log;
}

TEST(CamelCaserTest, Convert) {
    const std::pair<std::string, std::string> cases[] = {
        {"Input Voltage", "inputVoltage"},
        {"PSU Temp 1", "psuTemp1"},
        {"DC-In Current", "dcInCurrent"},
        {"Fan/Pump", "fanpump"},
        {"Channel 10", "channel1"},
        {"Channel 9", "channel"},
        {"USB 3.0", "usb3"},
        {" Input Voltage", "InputVoltage"},
        {"already camelCase", "alreadyCamelcase"},
        {"\xC3\xA9t\xC3\xA9 Mode", "TMode"},
        {"", ""},
    };
    for (auto const& [input, expected] : cases) {
        EXPECT_EQ(CamelCaser::convert(static_cast<std::string const&>(input)), expected) << input;
    }
}

TEST(CamelCaserTest, InPlaceKeepsNameCharactersLowerCased) {
    std::string text = "DC-In Current 90/Fan";
    CamelCaser::convert(text);
    EXPECT_EQ(text, "dcincurrentfan");
    EXPECT_TRUE(CamelCaser::allowed('8'));
    EXPECT_FALSE(CamelCaser::allowed('9'));
    EXPECT_FALSE(CamelCaser::allowed('0'));
    EXPECT_FALSE(CamelCaser::allowed('\xC3'));
}

using bustest::below;
using bustest::Budget;
using namespace std::chrono_literals;

// --------------------------------------------------------------- schemas

std::string readFixture() {
    std::ifstream in(std::string(BM_FIXTURES_DIR) + "/schema.xml", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The values a hand-edited or damaged schema may hold where numbers belong.
std::vector<std::string> const oddValues = {"",
                                            " ",
                                            "-1",
                                            "-2147483649",
                                            "99999999999999999999999",
                                            "0x10",
                                            "0xFFFF",
                                            "010",
                                            "09",
                                            "4294967296",
                                            "+7",
                                            "1e9",
                                            "7 ",
                                            "a",
                                            "&#0;",
                                            "-99999999999999999999"};

// Replaces the text of one occurrence of a numeric attribute or element.
std::string replaceValue(std::string const& text, std::mt19937& random) {
    static std::regex const field(
        R"~((slot=")([^"]*)(")|(<(address|mask|version|multi|min|max|type)>)([^<]*)(<))~");
    std::vector<std::smatch> matches;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), field);
         it != std::sregex_iterator(); ++it) {
        matches.push_back(*it);
    }
    if (matches.empty()) {
        return text;
    }
    std::smatch const& match = matches[below(random, matches.size())];
    int const group = match[2].matched ? 2 : 6;
    std::string const value = oddValues[below(random, oddValues.size())];
    return text.substr(0, match.position(group)) + value +
           text.substr(match.position(group) + match.length(group));
}

TEST_F(SchemaFiles, LoaderSurvivesDamagedCopies) {
    std::string const original = readFixture();
    ASSERT_FALSE(original.empty());
    ASSERT_TRUE(Schema(write("schema.xml", original)).isValid());

    std::mt19937 random(42);
    Budget budget(6000ms);
    for (int i = 0; i < 600 && !budget.spent(); ++i) {
        std::string text = original;
        switch (i % 3) {
        case 0:
            for (size_t flips = 1 + below(random, 8); flips > 0; --flips) {
                text[below(random, text.size())] = static_cast<char>(random());
            }
            break;
        case 1:
            text.resize(below(random, text.size()));
            break;
        default:
            for (size_t edits = 1 + below(random, 3); edits > 0; --edits) {
                text = replaceValue(text, random);
            }
            break;
        }
        SCOPED_TRACE(::testing::Message() << "mutation " << i);
        Schema const schema(write("schema.xml", text));
        schema.print();
        auto const& boards = schema.getBoards();
        EXPECT_EQ(schema.getBoardNames().size(), boards.size());
        if (schema.isValid()) {
            EXPECT_EQ(boards.count(Schema::AddressMain), 1u);
        }
        for (auto const& [address, board] : boards) {
            EXPECT_EQ(board.getAddress(), address);
        }
        if (!schema.getBinary().empty()) {
            EXPECT_EQ(schema.getHash(), MD5::calculate(schema.getBinary()));
        }
    }

    // Nesting deep enough to exhaust a recursive parser's stack is refused.
    std::string deep;
    for (int level = 0; level < 20000; ++level) {
        deep += "<name>";
    }
    std::string const nested = std::regex_replace(original, std::regex("<name>"), deep,
                                                  std::regex_constants::format_first_only);
    Schema const schema(write("schema.xml", nested));
    EXPECT_FALSE(schema.isValid());
    EXPECT_TRUE(schema.getBinary().empty());
}

} // namespace

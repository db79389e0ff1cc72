#include "bus/FlagsFlash.h"
#include "bus/FlagsSd.h"
#include "bus/StatusFlash.h"
#include "bus/StatusSd.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

using namespace velt::ZRV480::Bus::ValueObjects::Bootloader;
using json = nlohmann::json;

namespace {

// The expected JSON of a table over a word: the names listed true, every
// other name of the table false, plus the given summary members.
json expectedObject(std::vector<NamedBit> const& table, std::set<std::string> const& trueNames,
                    json summary) {
    json expected = std::move(summary);
    for (NamedBit const& entry : table) {
        expected[entry.name] = trueNames.count(entry.name) > 0;
    }
    return expected;
}

using NamesByBit = std::map<int, std::set<std::string>>;

// The names that read true in a JSON form, the two summary keys left out.
std::set<std::string> trueNames(json const& object) {
    std::set<std::string> names;
    for (auto const& [key, value] : object.items()) {
        if (key != "checkAll" && key != "noChecks" && key != "noAction" && key != "error" &&
            value == true) {
            names.insert(key);
        }
    }
    return names;
}

// Every bit on its own, so that a name placed on a neighbour's bit shows.
void expectEachBitNames(std::function<json(uint16_t)> const& toJson, NamesByBit const& names,
                        char const* table) {
    for (int bit = 0; bit < 16; ++bit) {
        auto const it = names.find(bit);
        EXPECT_EQ(trueNames(toJson(uint16_t(1u << bit))),
                  it == names.end() ? std::set<std::string>{} : it->second)
            << table << " bit " << bit;
    }
}

TEST(BootloaderTablesTest, EachBitCarriesItsNames) {
    const NamesByBit flagsFlash = {
        {0, {"ignoreVtable"}},   {1, {"ignoreFwHeader"}}, {2, {"ignoreCrc"}},
        {3, {"ignoreFirmware"}}, {4, {"ignoreBoard"}},    {5, {"ignoreRevision"}},
        {6, {"allowReinstall"}}, {7, {"allowDowngrade"}}, {8, {"ingoreBuild"}},
    };
    const NamesByBit flagsSd = {
        {0, {"ignoreFwHeader"}}, {1, {"ignoreFirmware"}}, {2, {"ignoreBoard"}},
        {3, {"ignoreRevision"}}, {4, {"allowReinstall"}}, {5, {"allowDowngrade"}},
        {6, {"ignoreBuild"}},    {7, {"noBackup"}},
    };
    NamesByBit statusSd = {
        {0, {"updateOk"}},      {1, {"generalError"}},    {2, {"noCodeFound"}},
        {3, {"invalidVtable"}}, {4, {"invalidFwHeader"}}, {5, {"wrongCrc"}},
        {6, {"wrongFirmware"}}, {7, {"wrongBoard"}},      {8, {"wrongRevision", "reInstall"}},
        {9, {"downgrade"}},     {11, {"wrongBuild"}},     {12, {"wrongVersion"}},
    };
    NamesByBit statusFlash = statusSd;
    statusFlash[1] = {"generalError", "wrongBuild", "wrongVersion"};
    statusFlash.erase(11);
    statusFlash.erase(12);

    expectEachBitNames([](uint16_t word) { return FlagsFlash(word).toJson(); }, flagsFlash,
                       "flags flash");
    expectEachBitNames([](uint16_t word) { return FlagsSd(word).toJson(); }, flagsSd, "flags sd");
    expectEachBitNames([](uint16_t word) { return StatusFlash(word).toJson(); }, statusFlash,
                       "status flash");
    expectEachBitNames([](uint16_t word) { return StatusSd(word).toJson(); }, statusSd,
                       "status sd");

    // A client's single flag lands on the same bit of the word it writes.
    for (auto const& [bit, names] : flagsFlash) {
        const Flags client(json{{*names.begin(), true}});
        EXPECT_EQ(FlagsFlash(client).toBitset().to_ulong(), 1u << bit) << *names.begin();
    }
    for (auto const& [bit, names] : flagsSd) {
        const Flags client(json{{*names.begin(), true}});
        EXPECT_EQ(FlagsSd(client).toBitset().to_ulong(), 1u << bit) << *names.begin();
    }
}

TEST(FlagsTest, TablesNameTheBoardsBits) {
    ASSERT_EQ(FlagsFlash::flash_flags.size(), 9u);
    EXPECT_EQ(FlagsFlash::flash_flags[0].name, "ignoreVtable");
    EXPECT_EQ(FlagsFlash::flash_flags[8].name, "ingoreBuild");
    EXPECT_EQ(FlagsFlash::flash_flags[8].bit, 8);
    ASSERT_EQ(FlagsSd::sd_flags.size(), 8u);
    EXPECT_EQ(FlagsSd::sd_flags[6].name, "ignoreBuild");
    EXPECT_EQ(FlagsSd::sd_flags[7].name, "noBackup");
    EXPECT_EQ(FlagsSd::sd_flags[7].bit, 7);
}

TEST(FlagsTest, WordToJsonAndBack) {
    struct Case {
        bool sd;
        uint16_t word;
        std::set<std::string> trueNames;
        bool checkAll;
        bool noChecks;
        uint16_t encoded;
    };
    const Case cases[] = {
        {false, 0x00C1, {"ignoreVtable", "allowReinstall", "allowDowngrade"}, false, false, 0x00C1},
        {true, 0x0030, {"allowReinstall", "allowDowngrade"}, false, false, 0x0030},
        {false, 0x0000, {}, false, true, 0x0000},
        {true, 0x0000, {}, false, true, 0x0000},
        {false,
         0x01FF,
         {"ignoreVtable", "ignoreFwHeader", "ignoreCrc", "ignoreFirmware", "ignoreBoard",
          "ignoreRevision", "allowReinstall", "allowDowngrade", "ingoreBuild"},
         true,
         false,
         0x01FF},
        // Bits the table does not name are lost.
        {false, 0xFE00, {}, false, true, 0x0000},
        {true, 0xFF40, {"ignoreBuild"}, false, false, 0x0040},
    };
    for (auto const& c : cases) {
        const Flags flags = c.sd ? Flags(FlagsSd(c.word)) : Flags(FlagsFlash(c.word));
        auto const& table = c.sd ? FlagsSd::sd_flags : FlagsFlash::flash_flags;
        EXPECT_EQ(flags.toJson(),
                  expectedObject(table, c.trueNames,
                                 {{"checkAll", c.checkAll}, {"noChecks", c.noChecks}}))
            << std::hex << c.word;
        EXPECT_EQ(flags.toBitset().to_ulong(), c.encoded) << std::hex << c.word;
    }
}

TEST(FlagsTest, ClientObjectEncodedWithTheBoardsTable) {
    struct Case {
        json object;
        uint16_t flash;
        uint16_t sd;
    };
    const Case cases[] = {
        {{{"checkAll", true}, {"noChecks", true}}, 0x01FF, 0x00FF},
        {{{"noChecks", true}, {"ignoreCrc", true}}, 0x0000, 0x0000},
        {{{"ignoreCrc", true}}, 0x0004, 0x0000},
        {{{"allowReinstall", true}, {"allowDowngrade", false}}, 0x0040, 0x0010},
        // Each table has its own spelling of the build flag.
        {{{"ignoreBuild", true}}, 0x0000, 0x0040},
        {{{"ingoreBuild", true}}, 0x0100, 0x0000},
        // Only JSON booleans count.
        {{{"ignoreCrc", 1}, {"checkAll", "true"}}, 0x0000, 0x0000},
        {json::array({true}), 0x0000, 0x0000},
        {nullptr, 0x0000, 0x0000},
    };
    for (auto const& c : cases) {
        const Flags client(c.object);
        EXPECT_EQ(FlagsFlash(client).toBitset().to_ulong(), c.flash) << c.object;
        EXPECT_EQ(FlagsSd(client).toBitset().to_ulong(), c.sd) << c.object;
    }
}

// The summaries count only the flags the object names, so an object that
// names nothing usable reads as both "all set" and "none set".
TEST(FlagsTest, ClientObjectToJsonSummarisesNamedFlagsOnly) {
    EXPECT_EQ(FlagsFlash(Flags(json{{"ignoreCrc", true}})).toJson(),
              (json{{"ignoreCrc", true}, {"checkAll", true}, {"noChecks", false}}));
    const json nothing{{"checkAll", true}, {"noChecks", true}};
    EXPECT_EQ(FlagsFlash(Flags(json{{"ignoreCrc", 1}})).toJson(), nothing);
    EXPECT_EQ(FlagsFlash(Flags(json::array())).toJson(), nothing);
}

TEST(FlagsTest, WithoutATableNothingIsEncoded) {
    const Flags client(json{{"checkAll", true}});
    EXPECT_TRUE(client.render().empty());
    EXPECT_EQ(client.toBitset().to_ulong(), 0u);
    EXPECT_EQ(client.toJson(), (json{{"checkAll", true}, {"noChecks", true}}));

    const Flags empty;
    EXPECT_EQ(empty.toBitset().to_ulong(), 0u);
    EXPECT_EQ(empty.toJson(), (json{{"checkAll", true}, {"noChecks", true}}));
}

TEST(FlagsTest, UnknownSourceYieldsNoFlags) {
    struct OtherSource : Flags {
        OtherSource() : Flags(FlagsFlash::flash_flags, std::bitset<16>(0x01FF)) { source = 2; }
    };
    const OtherSource flags;
    EXPECT_TRUE(flags.render().empty());
    EXPECT_EQ(flags.toBitset().to_ulong(), 0u);
}

TEST(FlagsTest, CopiesAreIndependentValues) {
    Flags copy = FlagsFlash(0x00C1);
    const Flags original = copy;
    copy = FlagsSd(0x0030);
    EXPECT_EQ(original.toBitset().to_ulong(), 0x00C1u);
    EXPECT_EQ(original.toJson().size(), 11u);
    EXPECT_EQ(copy.toJson().size(), 10u);
}

TEST(StatusTest, WordToJson) {
    struct Case {
        bool sd;
        uint16_t word;
        std::set<std::string> trueNames;
        bool noAction;
        bool error;
    };
    const std::set<std::string> allButUpdateOk = {
        "generalError", "noCodeFound",   "invalidVtable", "invalidFwHeader",
        "wrongCrc",     "wrongFirmware", "wrongBoard",    "wrongRevision",
        "reInstall",    "downgrade",     "wrongBuild",    "wrongVersion"};
    std::set<std::string> sdErrorNames = allButUpdateOk;
    sdErrorNames.erase("wrongBuild");
    sdErrorNames.erase("wrongVersion");
    const Case cases[] = {
        {true, 0x0000, {}, true, false},
        {false, 0x0001, {"updateOk"}, false, false},
        {false, 0x0002, {"generalError", "wrongBuild", "wrongVersion"}, false, false},
        {true, 0x0002, {"generalError"}, false, false},
        {false, 0x0100, {"wrongRevision", "reInstall"}, false, false},
        {true, 0x0100, {"wrongRevision", "reInstall"}, false, false},
        {false, 0x0400, {}, false, false},
        {true, 0x0400, {}, false, false},
        {false, 0x1FFE, allButUpdateOk, false, true},
        {false, 0x1FFF,
         [&] {
             auto names = allButUpdateOk;
             names.insert("updateOk");
             return names;
         }(),
         false, false},
        {true, 0x07FE, sdErrorNames, false, true},
        {true, 0x1FFE, allButUpdateOk, false, false},
        {false, 0x1800, {}, false, false},
    };
    for (auto const& c : cases) {
        const Status status = c.sd ? Status(StatusSd(c.word)) : Status(StatusFlash(c.word));
        auto const& table = c.sd ? StatusSd::sd_flags : StatusFlash::flash_flags;
        EXPECT_EQ(status.toJson(), expectedObject(table, c.trueNames,
                                                  {{"noAction", c.noAction}, {"error", c.error}}))
            << (c.sd ? "sd " : "flash ") << std::hex << c.word;
    }
}

TEST(StatusTest, ToBitsetDropsUnnamedBits) {
    EXPECT_EQ(StatusFlash(0x1800).toBitset().to_ulong(), 0u);
    EXPECT_EQ(StatusSd(0x1800).toBitset().to_ulong(), 0x1800u);
    EXPECT_EQ(StatusSd(0xE7FF).toBitset().to_ulong(), 0x03FFu);
}

TEST(StatusTest, DefaultHasOnlyTheSummaries) {
    EXPECT_EQ(Status().toJson(), (json{{"error", false}, {"noAction", true}}));
    EXPECT_EQ(Status().toJson().dump(), R"({"error":false,"noAction":true})");
}

} // namespace

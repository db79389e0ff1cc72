#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace enginetest {
namespace {

using testsupport::LogCapture;
using Json = nlohmann::json;

constexpr uint8_t ConfigGetCommand = 2;
constexpr uint8_t ConfigSetCommand = 3;

class StoredConfiguration : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        bringOnline(Psu);
        markInitialized(Psu);
        machine.sim.clearRequests();
    }

    std::string optionName(uint8_t address, uint8_t slot) const {
        return engine->getBoards().at(address).getConfigs().at(slot).name;
    }

    size_t requests(uint8_t command) const {
        return machine.sim.requestCount(boardsim::Filter{Psu, command});
    }

    void setDocument(Json const& document) {
        engine->state.with([&](EngineState& s) { s.config.setBoardConfig(Psu, document); });
    }
};

TEST_F(StoredConfiguration, ABoardWithoutADocumentLoadsNothing) {
    BoardCache const before = engine->getBoardCache(Psu);
    LogCapture log;
    EXPECT_EQ(engine->boardConfigCacheFromConfigFile(Psu), ErrorCode::Success);
    EXPECT_EQ(log.count("Loading psu configuration from config file"), 1u);
    for (uint8_t slot : {0, 1, 2, 4}) {
        EXPECT_EQ(log.count("Could not load psu option " + optionName(Psu, slot) +
                            ": Not found in config file"),
                  1u)
            << log.text();
    }
    EXPECT_EQ(engine->getBoardCache(Psu).configs, before.configs);
}

TEST_F(StoredConfiguration, ValuesOfTheRightKindAreLoaded) {
    Json document = {{optionName(Psu, 0), "high"},
                     {optionName(Psu, 1), 1},   // not a boolean
                     {optionName(Psu, 2), 500}, // out of range, yet an integer
                     {"Something Else", 3}};
    setDocument(document);
    LogCapture log;
    EXPECT_EQ(engine->boardConfigCacheFromConfigFile(Psu), ErrorCode::Success);
    EXPECT_EQ(log.count("Could not load psu option " + optionName(Psu, 1) + ": InvalidParameter"),
              1u)
        << log.text();
    EXPECT_EQ(
        log.count("Could not load psu option " + optionName(Psu, 4) + ": Not found in config file"),
        1u);
    BoardCache const cache = engine->getBoardCache(Psu);
    EXPECT_EQ(cache.configs.at(0), (BoardCache::Entry<Json>{ErrorCode::Success, "high"}));
    EXPECT_EQ(cache.configs.at(1).first, ErrorCode::Timeout);
    EXPECT_EQ(cache.configs.at(2), (BoardCache::Entry<Json>{ErrorCode::Success, 500}));
    EXPECT_TRUE(machine.sim.requests().empty());
}

TEST_F(StoredConfiguration, AStoredValueThatCouldNotBeSentIsNotLoadedAndTheBoardsIsRead) {
    struct Case {
        uint8_t slot;
        Json stored;
        char const* refusal;
    };
    Case const cases[] = {
        {0, "medium", "BusInvalidValue"},
        {2, int64_t{1} << 32, "InvalidParameter"},
        {4, 3e7, "InvalidParameter"}, // beyond 32 bits once multiplied
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.slot);
        rebuildEngine();
        bringOnline(Psu);
        markInitialized(Psu);
        setDocument({{optionName(Psu, c.slot), c.stored}});
        LogCapture log;
        EXPECT_EQ(engine->boardConfigCacheFromConfigFile(Psu), ErrorCode::Success);
        EXPECT_EQ(
            log.count("Could not load psu option " + optionName(Psu, c.slot) + ": " + c.refusal),
            1u)
            << log.text();
        EXPECT_EQ(engine->getBoardCache(Psu).configs.at(c.slot).first, ErrorCode::Timeout);

        // Applied, the slot is read from the board instead.
        machine.sim.clearRequests();
        EXPECT_EQ(engine->boardConfigCacheApply(Psu), ErrorCode::Success);
        EXPECT_EQ(requests(ConfigSetCommand), 0u);
        EXPECT_EQ(engine->getBoardCache(Psu).configs.at(c.slot).first, ErrorCode::Success);
    }
}

TEST_F(StoredConfiguration, ApplyingReadsUnknownValuesAndWritesKnownOnes) {
    // A fresh cache: every slot is read, none written.
    EXPECT_EQ(engine->boardConfigCacheApply(Psu), ErrorCode::Success);
    EXPECT_EQ(requests(ConfigGetCommand), 4u);
    EXPECT_EQ(requests(ConfigSetCommand), 0u);
    EXPECT_EQ(engine->getBoardCache(Psu).configs.at(2),
              (BoardCache::Entry<Json>{ErrorCode::Success, 20}));

    // Now every slot holds a value: all are written back, none read.
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.configs.at(2).second = 42;
        cache.configs.at(4).first = ErrorCode::BusTimeout;
    });
    machine.sim.clearRequests();
    EXPECT_EQ(engine->boardConfigCacheApply(Psu), ErrorCode::Success);
    EXPECT_EQ(requests(ConfigSetCommand), 3u);
    EXPECT_EQ(requests(ConfigGetCommand), 1u);
    EXPECT_EQ(machine.sim.raw(Psu, boardsim::SlotTable::Config, 2), 42);
}

TEST_F(StoredConfiguration, ApplyingAnswersTheLastFailedWrite) {
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.configs.at(0) = {ErrorCode::Success, "low"};
        cache.configs.at(1) = {ErrorCode::Success, false};
        cache.configs.at(2) = {ErrorCode::Success, 150}; // above the board's maximum
    });
    auto refuse = [this](uint8_t slot, uint8_t error) {
        boardsim::Rule rule;
        rule.match = boardsim::Filter{Psu, ConfigSetCommand, slot};
        rule.action = boardsim::Action::errorReply(error);
        machine.sim.addRule(rule);
    };
    refuse(0, 0x85);
    EXPECT_EQ(engine->boardConfigCacheApply(Psu), ErrorCode::BusInvalidValue);
    // Every write was tried; the failures are cached with their codes.
    EXPECT_EQ(requests(ConfigSetCommand), 3u);
    EXPECT_FALSE(machine.sim.raw(Psu, boardsim::SlotTable::Config, 1));
    BoardCache const cache = engine->getBoardCache(Psu);
    EXPECT_EQ(cache.configs.at(0).first, ErrorCode::BusInvalidSlot);
    EXPECT_EQ(cache.configs.at(2).first, ErrorCode::BusInvalidValue);

    machine.sim.clearRules();
    refuse(1, 0x85);
    engine->editCache(Psu, [](BoardCache& edited) {
        edited.configs.at(0) = {ErrorCode::Success, "low"};
        edited.configs.at(2) = {ErrorCode::Success, 30};
    });
    EXPECT_EQ(engine->boardConfigCacheApply(Psu), ErrorCode::BusInvalidSlot);
}

// The per-board copies in the engine's copies directory.
class ConfigurationCopies : public StoredConfiguration {
protected:
    void SetUp() override {
        StoredConfiguration::SetUp();
        ASSERT_TRUE(engine->boardConfigCacheTempFsCreate());
    }

    std::string copyPath(std::string const& board) const { return copiesDir() + "/" + board; }
    void writeCopy(std::string const& board, std::string const& text) const {
        machine.dir.write("copies/" + board, text);
    }
};

TEST_F(ConfigurationCopies, LinesAreReadByTheirSlotNumberAndTheSlotsType) {
    struct Case {
        char const* text;
        uint8_t address;
        uint8_t slot;
        Json expected; // null: nothing stored
        std::string warning;
    };
    Case const cases[] = {
        {"0x0A 5", Light, 10, 5, ""},
        {"012 7", Light, 10, 7, ""},
        {"10", Light, 10, 10, ""}, // no blank: slot and value alike
        {"20 {\"r\":1,\"g\":2,\"b\":3}\n", Light, 20, {{"r", 1}, {"g", 2}, {"b", 3}}, ""},
        {"258 30", Psu, 2, 30, ""}, // only the low 8 bits count
        {"258 x", Psu, 2, nullptr, "Error while loading tempfs config 258 x: "},
        {"2 500", Psu, 2, 500, ""},       // no range check here
        {"2 10\n2 20\n", Psu, 2, 20, ""}, // a later line wins
        {"2  7 \r\n", Psu, 2, 7, ""},     // blanks around the value
        {"1 true", Psu, 1, true, ""},
        {"1 1", Psu, 1, nullptr, "Could not load option outputEnabled: InvalidParameter"},
        {"0 \"high\"", Psu, 0, "high", ""},
        {"3 5", Psu, 3, nullptr, "Slot 3 not supported"},
        {"\n", Psu, 0, nullptr, "Error while loading tempfs config : "},
        {"", Psu, 0, nullptr, ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        std::string const board = engine->getBoards().at(c.address).getName();
        rebuildEngine();
        writeCopy(board, c.text);
        LogCapture log;
        EXPECT_EQ(engine->boardConfigCacheFromTempfs(c.address), ErrorCode::Success);
        std::string const text = log.text();
        EXPECT_NE(text.find("Found tempfs config file for " + board + ". Loading it..."),
                  std::string::npos);
        if (!c.warning.empty()) {
            EXPECT_NE(text.find(c.warning), std::string::npos) << text;
        }
        BoardCache const cache = engine->getBoardCache(c.address);
        auto const entry = cache.configs.find(c.slot);
        if (c.expected.is_null()) {
            for (auto const& [slot, value] : cache.configs) {
                EXPECT_EQ(value.first, ErrorCode::Timeout) << int(slot);
            }
        } else {
            ASSERT_NE(entry, cache.configs.end());
            EXPECT_EQ(entry->second, (BoardCache::Entry<Json>{ErrorCode::Success, c.expected}));
        }
    }
}

TEST_F(ConfigurationCopies, AMissingCopyIsNotFound) {
    LogCapture log;
    EXPECT_EQ(engine->boardConfigCacheFromTempfs(Psu), ErrorCode::FileNotFound);
    EXPECT_EQ(log.text(), "");
}

TEST_F(ConfigurationCopies, CopiesOutsideAPrivateDirectoryOfOursAreNotTrusted) {
    std::string const real = machine.dir.path("real");
    struct Case {
        char const* name;
        std::function<void()> arrange;
    };
    Case const cases[] = {
        {"symbolic link",
         [&] {
             ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
             ASSERT_EQ(::rmdir(copiesDir().c_str()), 0);
             ASSERT_EQ(::symlink(real.c_str(), copiesDir().c_str()), 0);
         }},
        {"writable by others", [&] { ASSERT_EQ(::chmod(copiesDir().c_str(), 0777), 0); }},
        {"writable by the group", [&] { ASSERT_EQ(::chmod(copiesDir().c_str(), 0775), 0); }},
        {"another owner",
         [&] { ASSERT_EQ(::chown(copiesDir().c_str(), ::geteuid() + 1, ::getegid()), 0); }},
    };
    // Every board's load, store and removal asks: the warning comes once in all.
    LogCapture log(Log::Level::Warning);
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        writeCopy("psu", "2 30\n");
        for (uint8_t address : {Main, Psu, Light}) {
            EXPECT_EQ(engine->boardConfigCacheFromTempfs(address), ErrorCode::FileNotFound);
        }
        EXPECT_EQ(engine->getBoardCache(Psu).configs.at(2).first, ErrorCode::Timeout);
        EXPECT_EQ(engine->boardConfigCacheTempFsStore(Light), ErrorCode::FileNotFound);
        // Nothing in it is removed either.
        EXPECT_EQ(engine->boardConfigCacheTempFsRemove(Psu), ErrorCode::Success);
        struct stat info {};
        EXPECT_EQ(::stat(copyPath("psu").c_str(), &info), 0);

        // Back to a private directory for the next case.
        ::unlink(copiesDir().c_str());
        std::filesystem::remove_all(copiesDir());
        std::filesystem::remove_all(real);
        ASSERT_EQ(::mkdir(copiesDir().c_str(), 0755), 0);
    }
    EXPECT_EQ(log.count("Ignoring configuration copies in " + copiesDir()), 1u) << log.text();
}

TEST_F(ConfigurationCopies, RemovingACopy) {
    writeCopy("psu", "2 30\n");
    EXPECT_EQ(engine->boardConfigCacheTempFsRemove(Psu), ErrorCode::Success);
    EXPECT_NE(::access(copyPath("psu").c_str(), F_OK), 0);
    {
        LogCapture log;
        EXPECT_EQ(engine->boardConfigCacheTempFsRemove(Psu), ErrorCode::Success);
        EXPECT_EQ(log.text(), "");
    }
    // Only regular files are ours to remove.
    ASSERT_EQ(::mkdir(copyPath("psu").c_str(), 0755), 0);
    LogCapture log;
    EXPECT_EQ(engine->boardConfigCacheTempFsRemove(Psu), ErrorCode::FileGeneralError);
    EXPECT_EQ(log.count("Could not remove tempfs file: " + copyPath("psu")), 1u) << log.text();
}

TEST_F(ConfigurationCopies, StoringWritesTheValuesThatAreKnown) {
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.configs.at(4) = {ErrorCode::Success, 13.8};
        cache.configs.at(0) = {ErrorCode::Success, "low"};
        cache.configs.at(1) = {ErrorCode::BusTimeout, true};
    });
    EXPECT_EQ(engine->boardConfigCacheTempFsStore(Psu), ErrorCode::Success);
    EXPECT_EQ(machine.dir.read("copies/psu"), "0 \"low\"\n4 13.8\n");

    // And read back into a fresh engine.
    rebuildEngine();
    EXPECT_EQ(engine->boardConfigCacheFromTempfs(Psu), ErrorCode::Success);
    EXPECT_EQ(engine->getBoardCache(Psu).configs.at(0).second, "low");
}

TEST_F(ConfigurationCopies, CreatingTheDirectory) {
    ASSERT_EQ(::rmdir(copiesDir().c_str()), 0);
    {
        LogCapture log;
        EXPECT_TRUE(engine->boardConfigCacheTempFsCreate());
        EXPECT_EQ(log.count("Creating " + copiesDir() + " directory"), 1u);
    }
    struct stat info {};
    ASSERT_EQ(::stat(copiesDir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);

    // A file in its place counts as present, and holds no copies.
    ASSERT_EQ(::rmdir(copiesDir().c_str()), 0);
    machine.dir.write("copies", "");
    EXPECT_TRUE(engine->boardConfigCacheTempFsCreate());
    EXPECT_EQ(engine->boardConfigCacheFromTempfs(Psu), ErrorCode::FileNotFound);

    // A directory that cannot be made.
    auto other = makeTestEngine(machine, appDir(), machine.dir.path("missing/copies"));
    LogCapture log;
    EXPECT_FALSE(other->boardConfigCacheTempFsCreate());
    EXPECT_EQ(log.count("Could not create directory " + machine.dir.path("missing/copies")), 1u);
}

} // namespace
} // namespace enginetest

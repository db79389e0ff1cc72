#include "engine/Firmwares.h"
#include "support/EngineFixture.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

namespace enginetest {
namespace {

using testsupport::LogCapture;
using testsupport::ScratchDir;
using velt::ZRV480::BoardManager::Manager::Firmwares;
using State = Firmwares::State;
using Json = nlohmann::json;

std::map<uint8_t, std::string> names() {
    return {{0, "mainBoard"}, {1, "psu"}, {16, "lightController"}};
}

class FirmwareReport : public ::testing::Test {
protected:
    std::string path() const { return dir.path("boards-state.json"); }

    ScratchDir dir;
    Firmwares firmwares{names()};
};

TEST_F(FirmwareReport, LoadingRefusesWhatIsNoReportObject) {
    struct Case {
        char const* content; // nullptr: no file
        std::string warning;
    };
    Case const cases[] = {
        {nullptr, "Could not open '"},
        {"[]", "': not a json object"},
        {"5", "': not a json object"},
        {"{\"psu\":", "Could not parse '"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "no file");
        if (c.content) {
            dir.write("boards-state.json", c.content);
        }
        Firmwares store(names());
        LogCapture log;
        EXPECT_FALSE(store.load(path()));
        EXPECT_NE(log.text().find(c.warning), std::string::npos) << log.text();
        EXPECT_EQ(store.size(), 0u);
        // The path is kept, so the store can be written anew.
        EXPECT_TRUE(store.save());
        EXPECT_EQ(dir.read("boards-state.json"), "{}");
    }
}

TEST_F(FirmwareReport, MembersAreCheckedOneByOne) {
    struct Case {
        Json member;
        std::string warning;        // empty: loaded
        Firmwares::Firmware loaded; // when loaded
    };
    Case const cases[] = {
        {{"psu", {{"state", "failed"}, {"version", 123}}}, "", {State::failed, 123}},
        {{"psu", {{"state", "pendingInstallation"}, {"version", 300}}},
         "",
         {State::pendingInstallation, 44}},
        {{"psu", {{"state", "Installing"}, {"version", 1}}},
         "State value not recognized 'Installing'",
         {}},
        {{"psu", {{"state", 1}, {"version", 1}}},
         "Could not parse board, state value must be string",
         {}},
        {{"psu", {{"version", 1}}}, "Could not parse board, state value must be string", {}},
        {{"psu", "installing"}, "Could not parse board, state value must be string", {}},
        {{"psu", {{"state", "installing"}, {"version", 5.0}}},
         "Could not parse board, version value must be unsigned",
         {}},
        {{"psu", {{"state", "installing"}, {"version", -1}}},
         "Could not parse board, version value must be unsigned",
         {}},
        {{"psu", {{"state", "installing"}, {"version", "5"}}},
         "Could not parse board, version value must be unsigned",
         {}},
        {{"power", {{"state", "installing"}, {"version", 1}}},
         "Board name 'power' not recognized",
         {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.member.dump());
        Json document = Json::object();
        document[c.member[0].get<std::string>()] = c.member[1];
        document["lightController"] = {{"state", "pendingReboot"}, {"version", 16}};
        dir.write("boards-state.json", document.dump());
        Firmwares store(names());
        LogCapture log;
        EXPECT_TRUE(store.load(path()));
        if (c.warning.empty()) {
            ASSERT_TRUE(store.contains(1));
            EXPECT_EQ(store.find(1)->second.state, c.loaded.state);
            EXPECT_EQ(store.find(1)->second.version, c.loaded.version);
            EXPECT_EQ(log.count("Parsed 2 firmware reports"), 1u) << log.text();
        } else {
            EXPECT_FALSE(store.contains(1));
            EXPECT_EQ(log.count(c.warning), 1u) << log.text();
            EXPECT_EQ(log.count("Parsed 1 firmware reports"), 1u) << log.text();
        }
        // The other member loads whatever happened to this one.
        EXPECT_TRUE(store.contains(16));
    }
}

TEST_F(FirmwareReport, TheServiceConsoleIsKeptUnderItsOwnName) {
    dir.write(
        "boards-state.json",
        R"({"service":{"state":"pendingReboot","version":7},"mainBoard":{"state":"installing","version":100}})");
    ASSERT_TRUE(firmwares.load(path()));
    ASSERT_TRUE(firmwares.contains(200));
    EXPECT_EQ(firmwares.find(200)->second.version, 7);
    EXPECT_TRUE(firmwares.save());
    EXPECT_EQ(
        dir.read("boards-state.json"),
        R"({"mainBoard":{"state":"installing","version":100},"service":{"state":"pendingReboot","version":7}})");
}

TEST_F(FirmwareReport, RebootIsRequiredWhileAReportWaitsForIt) {
    firmwares[0] = {State::pendingReboot, 1};
    firmwares[1] = {State::pendingReboot, 2};
    firmwares[16] = {State::failed, 3};
    EXPECT_TRUE(firmwares.rebootRequired());
    LogCapture log;
    EXPECT_EQ(firmwares.erase(uint8_t{0}), 1u);
    EXPECT_EQ(firmwares.erase(uint8_t{1}), 1u);
    EXPECT_EQ(firmwares.erase(uint8_t{1}), 0u);
    EXPECT_EQ(log.count("Erasing psu"), 2u) << log.text();
    EXPECT_FALSE(firmwares.rebootRequired());
    EXPECT_THROW(firmwares.erase(uint8_t{7}), std::out_of_range);
    // A new entry starts as pendingInstallation of version 0.
    EXPECT_EQ(firmwares[1].state, State::pendingInstallation);
    EXPECT_EQ(firmwares.toJson()["psu"], (Json{{"state", "pendingInstallation"}, {"version", 0}}));
    EXPECT_EQ(Firmwares::stateToStr(State::pendingReboot), "pendingReboot");
}

TEST_F(FirmwareReport, NothingIsWrittenWithoutAPath) {
    LogCapture log;
    EXPECT_FALSE(firmwares.save());
    EXPECT_EQ(log.text(), "");
}

TEST_F(FirmwareReport, AFailedSaveKeepsThePreviousFile) {
    firmwares.load(path());
    firmwares[1] = {State::installing, 124};
    ASSERT_TRUE(firmwares.save());
    std::string const before = dir.read("boards-state.json");
    // The temporary file cannot be made: a directory stands in its place.
    ASSERT_EQ(::mkdir((path() + ".tmp").c_str(), 0755), 0);
    firmwares[1].state = State::failed;
    LogCapture log;
    EXPECT_FALSE(firmwares.save());
    EXPECT_EQ(log.count("Could not write file '" + path() + "': "), 1u) << log.text();
    EXPECT_EQ(dir.read("boards-state.json"), before);
}

class EngineReportFile : public EngineFixture {};

TEST_F(EngineReportFile, SavesFromSeveralThreadsLeaveAWholeFile) {
    std::string const file = appDir() + "/boards-state.json";
    std::atomic<bool> done{false};
    std::atomic<int> unreadable{0};
    std::thread reader([&] {
        while (!done) {
            std::string const text = machine.dir.read("app/boards-state.json");
            if (!Json::accept(text)) {
                ++unreadable;
            }
        }
    });
    std::vector<std::thread> savers;
    for (int t = 0; t < 4; ++t) {
        savers.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) {
                engine->state.with([&](EngineState& s) {
                    s.firmwares[t % 2 == 0 ? Psu : Light] = {State::installing,
                                                             static_cast<uint8_t>(i)};
                });
                EXPECT_TRUE(engine->upgrades().saveFirmwares());
            }
        });
    }
    for (auto& saver : savers) {
        saver.join();
    }
    done = true;
    reader.join();
    EXPECT_EQ(unreadable, 0);
    EXPECT_EQ(Json::parse(machine.dir.read("app/boards-state.json")),
              engine->firmwareUpgradeGet().toJson());
}

} // namespace
} // namespace enginetest

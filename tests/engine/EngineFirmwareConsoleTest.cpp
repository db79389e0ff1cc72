#include "support/FirmwareFixture.h"
#include "support/LogCapture.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace enginetest {
namespace {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;
using State = Firmwares::State;

ImageHeader console(uint8_t version) {
    return {"ZRV480_Service", version, "ZRV480_Service", 2, "OTA"};
}

class EngineFirmwareConsole : public FirmwareFixture {
protected:
    void SetUp() override {
        FirmwareFixture::SetUp();
        online({});
        // Every board at its expected version: only the console needs an image.
        cacheInfo(Main, MainInfo);
        cacheInfo(Psu, PsuInfo);
        cacheInfo(Light, LightInfo);
    }

    void writeVersion(std::string const& text) {
        machine.dir.write("app/serviceConsoleFirmwareVersion", text);
    }
    std::string versionFile() const {
        return machine.dir.read("app/serviceConsoleFirmwareVersion");
    }

    uint8_t consoleVersion() const {
        return engine->state.with([&](EngineState const& s) { return s.serviceConsoleVersion; });
    }
};

TEST_F(EngineFirmwareConsole, VersionFileIsReadByItsFirstWordInAutomaticBase) {
    struct Case {
        std::optional<std::string> file; // none: no file at all
        uint8_t expected;                // 5 when the version stays as it was
    };
    Case const cases[] = {
        {"7\n", 7},   {"010", 8}, {"12 34\n", 12}, {"  9\n", 9}, {"300", 44},
        {"abc\n", 5}, {"", 5},    {"0x10", 5},     {"7x", 5},    {std::nullopt, 5},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.file.value_or("(no file)"));
        std::filesystem::remove(appDir() + "/serviceConsoleFirmwareVersion");
        if (c.file) {
            writeVersion(*c.file);
        }
        engine->state.with([&](EngineState& s) { s.serviceConsoleVersion = 5; });
        engine->upgrades().readServiceVersion();
        EXPECT_EQ(consoleVersion(), c.expected);
    }
}

TEST_F(EngineFirmwareConsole, ImageGoesToTheMainBoardAsConsoleBinAndTheVersionIsRecorded) {
    writeVersion("7\n");
    image("console-6.bin", console(6));
    Bytes const bytes = image("console-8.bin", console(8));
    int transmitsFinished = 0;
    engine->fileTransmitFinished.connect([&](ErrorCode) { ++transmitsFinished; });

    testsupport::LogCapture log;
    runAutomatic();
    std::string const text = log.text();

    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 200 Success", "status PendingReboot"}));
    EXPECT_EQ(machine.sim.file("console.bin"), bytes);
    EXPECT_EQ(versionFile(), "8\n");
    EXPECT_NE(text.find("Updated service console firmware version to 8"), std::string::npos);
    expectReport(report(200), State::pendingReboot, 8);
    EXPECT_EQ(reportText(), R"({"service":{"state":"pendingReboot","version":8}})");
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
    EXPECT_TRUE(std::filesystem::exists(acceptedDir() + "/console-8.bin"));
    EXPECT_TRUE(std::filesystem::exists(firmwaresDir() + "/console-6.bin"));
    EXPECT_EQ(transmitsFinished, 0);

    auto const progress = events->progress();
    ASSERT_FALSE(progress.empty());
    for (auto const& [address, percent] : progress) {
        EXPECT_EQ(address, 200);
    }
    EXPECT_EQ(progress.back().second, 100.0f);
    // The console's relay is gone once its upload ended.
    ASSERT_EQ(engine->mainFileTransmit(bytes, "other.bin"), ErrorCode::Success);
    EXPECT_EQ(events->progress().size(), progress.size());

    // Nothing but the engine's own files is left in its directory.
    std::set<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(appDir())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"boards-state.json", "firmwares",
                                            "serviceConsoleFirmwareVersion"}));
}

TEST_F(EngineFirmwareConsole, OctalVersionFileDecidesWhichImageIsNewer) {
    writeVersion("010\n"); // 8
    image("console-8.bin", console(8));
    Bytes const bytes = image("console-9.bin", console(9));
    testsupport::LogCapture log;
    runAutomatic();
    EXPECT_EQ(log.count("Skipping firmware '" + firmwaresDir() +
                        "/console-8.bin': version is not grater (current=8, actual=8)"),
              1u);
    EXPECT_EQ(machine.sim.file("console.bin"), bytes);
    EXPECT_EQ(versionFile(), "9\n");
}

TEST_F(EngineFirmwareConsole, FailedTransferKeepsTheImageAndTheRecordedVersion) {
    writeVersion("7\n");
    std::string const path = firmwaresDir() + "/console-8.bin";
    image("console-8.bin", console(8));
    machine.sim.addRule({mainFile(), boardsim::Action::errorReply(0x84)});

    testsupport::LogCapture log;
    runAutomatic();
    EXPECT_EQ(log.count("OTA '" + path +
                        "' for ServiceConsole failed with 'BusNodeError'. Will retry on next "
                        "restart."),
              1u);
    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 200 BusNodeError", "status None"}));
    expectReport(report(200), State::failed, 8);
    EXPECT_EQ(reportText(), R"({"service":{"state":"failed","version":8}})");
    EXPECT_EQ(versionFile(), "7\n");
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_FALSE(machine.sim.file("console.bin").has_value());
}

TEST_F(EngineFirmwareConsole, UnwritableVersionFileIsAnErrorLineOnly) {
    std::filesystem::create_directory(appDir() + "/serviceConsoleFirmwareVersion");
    Bytes const bytes = image("console-1.bin", console(1));
    testsupport::LogCapture log;
    runAutomatic();
    EXPECT_EQ(log.count("Could not update serviceConsoleFirmwareVersion"), 1u);
    EXPECT_EQ(machine.sim.file("console.bin"), bytes);
    expectReport(report(200), State::pendingReboot, 1);
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
}

} // namespace
} // namespace enginetest

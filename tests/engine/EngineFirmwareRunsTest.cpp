#include "support/FirmwareFixture.h"
#include "support/LogCapture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace enginetest {
namespace {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;
using State = Firmwares::State;

using EngineFirmwareRuns = FirmwareFixture;

TEST_F(EngineFirmwareRuns, ManualUpgradeUploadsOnAWorkerThenAwaitsTheReboot) {
    online({Psu});
    cacheInfo(Psu, PsuInfo);
    std::string const path = machine.dir.path("psu-124.bin");
    Bytes const bytes = writeFirmwareImage(path, {});

    ASSERT_EQ(engine->boardOtaFirmwareUpgrade(Psu, path, false), ErrorCode::Success);
    ASSERT_TRUE(events->waitEvents(3));
    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 1 Success", "status PendingReboot"}));
    // While the upload ran the report said so.
    expectReport(events->reportsAtStatus().at(0).find(Psu)->second, State::installing, 124);
    expectReport(report(Psu), State::pendingReboot, 124);
    EXPECT_EQ(reportText(), R"({"psu":{"state":"pendingReboot","version":124}})");
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);

    auto const progress = events->progress();
    ASSERT_FALSE(progress.empty());
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].first, Psu);
        EXPECT_TRUE(i == 0 || progress[i].second > progress[i - 1].second);
    }
    EXPECT_EQ(progress.back().second, 100.0f);
    EXPECT_EQ(machine.sim.pendingFirmware(Psu), bytes);
    // A manual upgrade leaves its file where it was.
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(EngineFirmwareRuns, ManualUpgradeRefusedAtOnceChangesNothing) {
    online({Psu});
    cacheInfo(Psu, PsuInfo);
    ImageHeader sameVersion;
    sameVersion.version = 123;
    writeFirmwareImage(machine.dir.path("same.bin"), sameVersion);
    writeFirmwareImage(machine.dir.path("next.bin"), {});
    machine.dir.write("text.bin", "no image in here");
    struct Case {
        char const* what;
        uint8_t address;
        std::string file;
        bool force;
        ErrorCode expected;
    };
    Case const cases[] = {
        {"not an image", Psu, "text.bin", true, ErrorCode::InvalidParameter},
        {"no such file", Psu, "missing.bin", true, ErrorCode::InvalidParameter},
        {"same version", Psu, "same.bin", false, ErrorCode::InvalidParameter},
        // The light controller's information was never read.
        {"board never read", Light, "next.bin", true, ErrorCode::Timeout},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(engine->boardOtaFirmwareUpgrade(c.address, machine.dir.path(c.file), c.force),
                  c.expected)
            << c.what;
    }
    EXPECT_EQ(engine->firmwareUpgradeGet().size(), 0u);
    EXPECT_EQ(reportText(), "{}");
    EXPECT_TRUE(engine->state.with([](EngineState const& s) { return s.otaImages.empty(); }));
    EXPECT_TRUE(events->sequence().empty());
    EXPECT_EQ(machine.sim.requestCount(upload(Psu)), 0u);
}

TEST_F(EngineFirmwareRuns, ManualUploadRefusedByTheBoardIsReportedFailed) {
    std::string const path = machine.dir.path("psu-124.bin");
    writeFirmwareImage(path, {});
    machine.sim.addRule({upload(Psu, 0), boardsim::Action::withResult(0x85)});
    struct Case {
        bool otherAwaitsReboot;
        char const* settled;
    };
    // Another board's pending reboot outlives this failure.
    for (Case const c : {Case{false, "status None"}, Case{true, "status PendingReboot"}}) {
        SCOPED_TRACE(c.settled);
        restartWithReport(c.otherAwaitsReboot
                              ? R"({"lightController":{"state":"pendingReboot","version":16}})"
                              : "{}");
        online({Psu});
        cacheInfo(Psu, PsuInfo);
        ASSERT_EQ(engine->boardOtaFirmwareUpgrade(Psu, path, false), ErrorCode::Success);
        ASSERT_TRUE(events->waitEvents(3));
        EXPECT_EQ(events->sequence(),
                  (Events{"status InProgress", "finished 1 OtaStorageError", c.settled}));
        expectReport(report(Psu), State::failed, 124);
        EXPECT_EQ(Status::firmwareUpgradeToStr(status()), std::string(c.settled).substr(7));
        EXPECT_FALSE(machine.sim.pendingFirmware(Psu).has_value());
    }
}

TEST_F(EngineFirmwareRuns, SecondManualUpgradeWhileOneUploadsFailsAndTheFirstGoesOn) {
    online({Psu, Light});
    cacheInfo(Psu, PsuInfo);
    cacheInfo(Light, LightInfo);
    std::string const psuImage = machine.dir.path("psu-124.bin");
    Bytes const psuBytes = writeFirmwareImage(psuImage, {});
    std::string const lightImage = machine.dir.path("lights-16.bin");
    writeFirmwareImage(lightImage, {"lights", 16, "lights", 1, "RELEASE"});
    // The first upload's first segment takes a while to be answered.
    machine.sim.addRule({upload(Psu, 1), boardsim::Action::delayed(300)});

    ASSERT_EQ(engine->boardOtaFirmwareUpgrade(Psu, psuImage, false), ErrorCode::Success);
    ASSERT_TRUE(machine.sim.waitFor(upload(Psu, 1), 1, 2000));
    ASSERT_EQ(engine->boardOtaFirmwareUpgrade(Light, lightImage, false), ErrorCode::Success);
    ASSERT_TRUE(events->waitEvents(6));
    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "status InProgress", "finished 16 OtaLimit",
                      "status None", "finished 1 Success", "status PendingReboot"}));
    expectReport(report(Light), State::failed, 16);
    expectReport(report(Psu), State::pendingReboot, 124);
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
    EXPECT_EQ(machine.sim.pendingFirmware(Psu), psuBytes);
    EXPECT_EQ(machine.sim.requestCount(upload(Light)), 0u);
}

TEST_F(EngineFirmwareRuns, AutomaticRunInstallsWhatTheSchemaExpectsAndAcceptsTheImages) {
    // Loaded from an earlier run: the main board's upload failed then.
    restartWithReport(R"({"mainBoard":{"state":"failed","version":100}})");
    online({Psu, Light});
    cacheInfo(Main, withVersion(MainInfo, 99)); // no image for it
    cacheInfo(Psu, withVersion(PsuInfo, 120));
    cacheInfo(Light, withVersion(LightInfo, 10));
    Bytes const psuBytes = image("psu-123.bin", {"psu", 123, "psu", 2, "RELEASE"});
    image("psu-124.bin", {"psu", 124, "psu", 2, "RELEASE"});
    Bytes const lightBytes = image("lights-15.bin", {"lights", 15, "lights", 1, "OTA"});

    testsupport::LogCapture log;
    runAutomatic();
    std::string const text = log.text();

    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 0 FileNotFound", "finished 1 Success",
                      "finished 16 Success", "status PendingReboot"}));
    // The selection as the run began.
    Firmwares const selected = events->reportsAtStatus().at(0);
    expectReport(selected.find(Main)->second, State::failed, 100);
    expectReport(selected.find(Psu)->second, State::pendingInstallation, 123);
    expectReport(selected.find(Light)->second, State::pendingInstallation, 15);

    EXPECT_EQ(reportText(), R"({"lightController":{"state":"pendingReboot","version":15},)"
                            R"("mainBoard":{"state":"failed","version":100},)"
                            R"("psu":{"state":"pendingReboot","version":123}})");
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
    EXPECT_EQ(machine.sim.pendingFirmware(Psu), psuBytes);
    EXPECT_EQ(machine.sim.pendingFirmware(Light), lightBytes);

    // Installed images leave the firmware directory; the others stay.
    for (char const* name : {"psu-123.bin", "lights-15.bin"}) {
        EXPECT_FALSE(std::filesystem::exists(firmwaresDir() + "/" + name)) << name;
        EXPECT_TRUE(std::filesystem::exists(acceptedDir() + "/" + name)) << name;
        EXPECT_NE(text.find(std::string("Moved '") + name + "' to '" + acceptedDir() + "'"),
                  std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::exists(firmwaresDir() + "/psu-124.bin"));
    EXPECT_NE(text.find("[Engine] Could not find firmware for main-R1"), std::string::npos);
    EXPECT_NE(text.find("Could not complete auto OTA update on mainBoard: FileNotFound"),
              std::string::npos);
    EXPECT_NE(text.find("Could not find firmware for ZRV480_Service-R2"), std::string::npos);
    // Selected images stay until the board is found rebooted.
    EXPECT_EQ(engine->state.with([](EngineState const& s) { return s.otaImages.size(); }), 2u);
}

TEST_F(EngineFirmwareRuns, LoadedReportWithoutAnImageAwaitsARebootOnlyIfItSaidSo) {
    struct Case {
        char const* loaded;
        State after;
        char const* finished;
        char const* settled;
    };
    Case const cases[] = {
        {"pendingReboot", State::pendingReboot, "finished 0 Success", "status PendingReboot"},
        {"failed", State::failed, "finished 0 FileNotFound", "status None"},
        {"installing", State::failed, "finished 0 FileNotFound", "status None"},
        {"pendingInstallation", State::failed, "finished 0 FileNotFound", "status None"},
    };
    // The power supply needs an image this run, but its bootloader refuses it.
    image("psu-123.bin", {"psu", 123, "psu", 2, "RELEASE"});
    machine.sim.addRule({upload(Psu, 0), boardsim::Action::withResult(0x85)});
    for (Case const& c : cases) {
        SCOPED_TRACE(c.loaded);
        restartWithReport(std::string(R"({"mainBoard":{"state":")") + c.loaded +
                          R"(","version":100}})");
        online({Psu});
        cacheInfo(Main, MainInfo);
        cacheInfo(Psu, withVersion(PsuInfo, 120));
        cacheInfo(Light, LightInfo);
        runAutomatic();
        EXPECT_EQ(events->sequence(), (Events{"status InProgress", c.finished,
                                              "finished 1 OtaStorageError", c.settled}));
        expectReport(report(Main), c.after, 100);
        expectReport(report(Psu), State::failed, 123);
        // A failed image stays for the next start.
        EXPECT_TRUE(std::filesystem::exists(firmwaresDir() + "/psu-123.bin"));
    }
}

TEST_F(EngineFirmwareRuns, AutomaticRunEndsAwaitingTheRebootThatALoadedConsoleReportAwaits) {
    restartWithReport(R"({"service":{"state":"pendingReboot","version":1}})");
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
    // This run's only upload fails.
    image("psu-123.bin", {"psu", 123, "psu", 2, "RELEASE"});
    machine.sim.addRule({upload(Psu, 0), boardsim::Action::withResult(0x85)});
    online({Psu});
    cacheInfo(Main, MainInfo);
    cacheInfo(Psu, withVersion(PsuInfo, 120));
    cacheInfo(Light, LightInfo);
    runAutomatic();
    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 1 OtaStorageError", "status PendingReboot"}));
    expectReport(report(200), State::pendingReboot, 1);
    EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
}

TEST_F(EngineFirmwareRuns, AutomaticRunWithNothingToInstallLeavesEverythingAsItWas) {
    restartWithReport(R"({"psu":{"state":"failed","version":123}})");
    online({Psu, Light});
    cacheInfo(Main, MainInfo);
    cacheInfo(Psu, PsuInfo);
    cacheInfo(Light, LightInfo);
    image("psu-124.bin", {"psu", 124, "psu", 2, "RELEASE"});
    runAutomatic();
    EXPECT_TRUE(events->sequence().empty());
    EXPECT_EQ(reportText(), R"({"psu":{"state":"failed","version":123}})");
    EXPECT_EQ(status(), Status::FirmwareUpgrade::None);
    EXPECT_EQ(machine.sim.requestCount(upload(Psu)), 0u);
}

TEST_F(EngineFirmwareRuns, AutomaticRunStopsBetweenBoardsWhenTheEngineStops) {
    online({Psu, Light});
    cacheInfo(Main, MainInfo);
    cacheInfo(Psu, withVersion(PsuInfo, 120));
    cacheInfo(Light, withVersion(LightInfo, 10));
    image("psu-123.bin", {"psu", 123, "psu", 2, "RELEASE"});
    image("lights-15.bin", {"lights", 15, "lights", 1, "RELEASE"});
    image("service-1.bin", {"ZRV480_Service", 1, "ZRV480_Service", 2, "RELEASE"});
    // The stop arrives while the power supply's upload runs.
    engine->firmwareUpgradeProgress.connect([this](uint8_t address, float) {
        if (address == Psu) {
            engine->running = false;
        }
    });
    engine->running = true;
    testsupport::LogCapture log;
    engine->upgrades().applyFirmwareUpgrades();
    EXPECT_EQ(log.count("Engine stopping: firmware upgrades left for the next start"), 1u);

    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 1 Success", "status PendingReboot"}));
    expectReport(report(Psu), State::pendingReboot, 123);
    expectReport(report(Light), State::pendingInstallation, 15);
    expectReport(report(200), State::pendingInstallation, 1);
    EXPECT_EQ(machine.sim.requestCount(upload(Light)), 0u);
    EXPECT_TRUE(machine.sim.files().empty());
    EXPECT_TRUE(std::filesystem::exists(firmwaresDir() + "/lights-15.bin"));
}

TEST_F(EngineFirmwareRuns, StartRunsTheAutomaticRunOnTheMonitoringThread) {
    machine.sim.putFile("schema.xml", machine.schema.getBinary());
    boardsim::BoardInfo info = machine.sim.boardInfo(Psu);
    info.firmwareVersion = 120;
    machine.sim.setBoardInfo(Psu, info);
    machine.dir.write("app/serviceConsoleFirmwareVersion", "7\n");
    Bytes const bytes = image("psu-123.bin", {"psu", 123, "psu", 2, "RELEASE"});
    // Not newer than the recorded version, which the start reads first.
    image("console-7.bin", {"ZRV480_Service", 7, "ZRV480_Service", 2, "OTA"});

    engine->start();
    ASSERT_TRUE(events->waitEvents(3));
    engine->stop();
    EXPECT_EQ(events->sequence(),
              (Events{"status InProgress", "finished 1 Success", "status PendingReboot"}));
    EXPECT_EQ(machine.sim.pendingFirmware(Psu), bytes);
    EXPECT_TRUE(std::filesystem::exists(acceptedDir() + "/psu-123.bin"));
    EXPECT_FALSE(report(200).has_value());
}

TEST_F(EngineFirmwareRuns, ADeviceWriteDuringTheRunReturnsAtOnceAndAStopCutsTheUploadShort) {
    machine.sim.putFile("schema.xml", machine.schema.getBinary());
    boardsim::BoardInfo info = machine.sim.boardInfo(Psu);
    info.firmwareVersion = 120;
    machine.sim.setBoardInfo(Psu, info);
    Bytes bytes = testsupport::firmwareImage({"psu", 123, "psu", 2, "RELEASE"});
    bytes.resize(128 * 200, 0x5a); // 200 segments, each answered late
    std::filesystem::create_directories(acceptedDir());
    std::ofstream(firmwaresDir() + "/psu-123.bin", std::ios::binary)
        .write(reinterpret_cast<char const*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    machine.sim.addRule({upload(Psu), boardsim::Action::delayed(50)});

    engine->start();
    ASSERT_TRUE(machine.sim.waitFor(upload(Psu), 5, 20000));
    // The restart waits for the run on a thread of the engine, not here.
    auto begin = std::chrono::steady_clock::now();
    engine->setDeviceConfig({{"statusPeriod", 30}});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
    begin = std::chrono::steady_clock::now();
    engine->stop();
    // The segment in flight may wait for its time-out of 5 s.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(6));
    EXPECT_LT(machine.sim.requestCount(upload(Psu)), 150u);
    EXPECT_FALSE(machine.sim.pendingFirmware(Psu).has_value());
}

} // namespace
} // namespace enginetest

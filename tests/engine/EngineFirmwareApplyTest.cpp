#include "support/FirmwareFixture.h"
#include "support/LogCapture.h"

#include <functional>
#include <string>
#include <vector>

namespace enginetest {
namespace {

using Events = std::vector<std::string>;
using State = Firmwares::State;

// Three boards waiting for the reboot that installs their firmware.
char const* const Pending = R"({"lightController":{"state":"pendingReboot","version":15},)"
                            R"("psu":{"state":"pendingReboot","version":123},)"
                            R"("service":{"state":"pendingReboot","version":8}})";

class EngineFirmwareApply : public FirmwareFixture {
protected:
    // The engine of a started service, with the boards online and their
    // power supply's status read.
    void prepare(std::string const& reports, bool onMains) {
        restartWithReport(reports);
        online({Psu, Light});
        engine->running = true;
        engine->editCache(Psu, [&](BoardCache& cache) {
            for (uint8_t slot : {4, 6}) {
                cache.statuses.at(slot) = {ErrorCode::Success,
                                           {static_cast<uint16_t>(onMains ? 0 : 1), ""}};
            }
        });
    }

    void TearDown() override {
        engine->running = false;
        FirmwareFixture::TearDown();
    }

    // The addresses of the reboot requests, in the order they came.
    std::vector<uint8_t> reboots() const {
        std::vector<uint8_t> addresses;
        for (auto const& request : machine.sim.requests()) {
            if (request.command == 5 && request.slot == 0 && request.address != 255) {
                addresses.push_back(request.address);
            }
        }
        return addresses;
    }
};

TEST_F(EngineFirmwareApply, OnMainsRebootsEveryBoardThePowerSupplyLast) {
    prepare(Pending, true);
    EXPECT_EQ(engine->firmwareUpgradeApply(), ErrorCode::Success);
    EXPECT_EQ(reboots(), (std::vector<uint8_t>{Light, Psu}));
    EXPECT_EQ(engine->firmwareUpgradeGet().size(), 0u);
    EXPECT_EQ(reportText(), "{}");
    EXPECT_EQ(status(), Status::FirmwareUpgrade::None);
    EXPECT_EQ(events->sequence(), (Events{"status None"}));
}

TEST_F(EngineFirmwareApply, OnBatteriesThePowerSupplyAndTheConsoleKeepTheirReports) {
    struct Case {
        char const* what;
        bool lightRebootFails;
    };
    for (Case const c : {Case{"light rebooted", false}, Case{"light reboot refused", true}}) {
        SCOPED_TRACE(c.what);
        prepare(Pending, false);
        machine.sim.clearRules();
        if (c.lightRebootFails) {
            machine.sim.addRule({reboot(Light), boardsim::Action::errorReply(0x84)});
        }
        testsupport::LogCapture log;
        EXPECT_EQ(engine->firmwareUpgradeApply(), ErrorCode::OnBatteries);
        EXPECT_EQ(log.count("Skipping PSU reboot, system is on batteries"), 1u);
        EXPECT_EQ(reboots(), (std::vector<uint8_t>{Light}));
        machine.sim.clearRequests();

        expectReport(report(Psu), State::pendingReboot, 123);
        expectReport(report(200), State::pendingReboot, 8);
        if (c.lightRebootFails) {
            // Not seen to restart: it still waits for its reboot.
            expectReport(report(Light), State::pendingReboot, 15);
            EXPECT_EQ(reportText(), Pending);
        } else {
            EXPECT_FALSE(report(Light).has_value());
            EXPECT_EQ(reportText(), R"({"psu":{"state":"pendingReboot","version":123},)"
                                    R"("service":{"state":"pendingReboot","version":8}})");
        }
        // The boards that still wait keep the status.
        EXPECT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
    }
}

TEST_F(EngineFirmwareApply, WithoutAPendingRebootNothingIsRebooted) {
    std::string const failed = R"({"lightController":{"state":"failed","version":15}})";
    prepare(failed, true);
    EXPECT_EQ(engine->firmwareUpgradeApply(), ErrorCode::Success);
    EXPECT_TRUE(reboots().empty());
    EXPECT_EQ(reportText(), failed);
    EXPECT_TRUE(events->sequence().empty());
}

TEST_F(EngineFirmwareApply, PendingRebootLastsOnlyWhileAReportAwaitsItsReboot) {
    char const* const mainWaits = R"({"mainBoard":{"state":"pendingReboot","version":100}})";
    char const* const bothWait = R"({"mainBoard":{"state":"pendingReboot","version":100},)"
                                 R"("psu":{"state":"pendingReboot","version":124}})";
    auto const rebootMain = [this] { EXPECT_EQ(engine->boardReboot(Main), ErrorCode::Success); };
    // The initialisation finds the board's scratchpad unmarked: it restarted.
    auto const psuRestarted = [this] {
        ASSERT_EQ(engine->boardInitStartup(Main), ErrorCode::Success);
        machine.sim.setScratchpad(Psu, Engine::ScratchpadCell, 0);
        engine->boardInitStartup(Psu);
    };
    auto const mainRestarted = [this] {
        machine.sim.setScratchpad(Main, Engine::ScratchpadCell, 0);
        engine->boardInitStartup(Main);
    };
    struct Case {
        char const* what;
        char const* loaded;
        std::function<void()> restart;
        char const* left;
        Status::FirmwareUpgrade status;
        Events events;
    };
    std::vector<Case> const cases{
        {"the main board rebooted at start", mainWaits, rebootMain, "{}",
         Status::FirmwareUpgrade::None, Events{"status None"}},
        {"the main board seen restarted", mainWaits, mainRestarted, "{}",
         Status::FirmwareUpgrade::None, Events{"status None"}},
        {"the power supply seen restarted, the main board waits", bothWait, psuRestarted, mainWaits,
         Status::FirmwareUpgrade::PendingReboot, Events{}},
        {"the main board rebooted, the power supply waits", bothWait, rebootMain,
         R"({"psu":{"state":"pendingReboot","version":124}})",
         Status::FirmwareUpgrade::PendingReboot, Events{}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        // Up again after the last case's reboot, and marked: not restarted since.
        ASSERT_TRUE(machine.sim.waitBooted(Main, 5000));
        for (uint8_t address : {Main, Psu}) {
            machine.sim.setScratchpad(address, Engine::ScratchpadCell, Engine::ScratchpadMarker);
        }
        prepare(c.loaded, true);
        ASSERT_EQ(status(), Status::FirmwareUpgrade::PendingReboot);
        c.restart();
        EXPECT_EQ(reportText(), c.left);
        EXPECT_EQ(status(), c.status);
        EXPECT_EQ(events->sequence(), c.events);
    }
}

} // namespace
} // namespace enginetest

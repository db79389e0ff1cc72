// A stop always wins: SIGTERM ends the service in time whatever phase it is
// in, and no request waits behind a restart of the monitoring thread.

#include "support/FirmwareImage.h"
#include "support/ServiceRun.h"

#include "bus/Protocol.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// SIGTERM ends the service within two seconds plus one bus time-out (500 ms):
// a stop wakes the bus request in flight, a segment of a transfer or an
// upload as much as a value request.
constexpr int64_t StopMs = 2000 + 500;
// A get answered from the cache, while the bus is busy with an upload.
constexpr int64_t GetBoundMs = 1000;
// The control socket gives up after 10 s.
constexpr int WaitRequestMs = 9000;

namespace Protocol = velt::ZRV480::Bus::Protocol;
constexpr int Main = Protocol::AddressMain;
constexpr int Psu = 1;
constexpr int Light = 16;
constexpr int Misc = static_cast<int>(Protocol::Command::Misc);

json const UploadSegments = {{"addr", Psu},
                             {"cmd", Misc},
                             {"slot", Protocol::Misc::Bootloader},
                             {"sub", Protocol::Bootloader::Segment}};
json const MainFileWrites = {
    {"addr", Main}, {"cmd", Misc}, {"slot", Protocol::Misc::Files}, {"sub", Protocol::File::Write}};

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class StopTest : public e2e::ServiceRun {
protected:
    json control(json const& request) const { return simulator->control(request); }

    void delay(json const& match, int ms) const {
        ASSERT_EQ(control({{"op", "rule"}, {"match", match}, {"action", {{"delay", ms}}}})["ok"],
                  true);
    }

    bool waitRequests(json const& match, int count) const {
        return control({{"op", "waitFor"},
                        {"match", match},
                        {"count", count},
                        {"timeoutMs", WaitRequestMs}})
            .value("reached", false);
    }

    void startService() {
        service->writeConfig(exampleConfig());
        service->start();
    }

    // The power supply reports an older firmware and the image of the
    // version the schema expects waits in the firmware directory: the
    // monitoring thread uploads it at start, slowly.
    void prepareFirmwareRun() {
        json const info = {{"firmwareName", "psu"},
                           {"firmwareVersion", 122},
                           {"boardName", "psu"},
                           {"boardVersion", 2},
                           {"boardId", "50535500000000000000000000000002"}};
        ASSERT_EQ(control({{"op", "setBoardInfo"}, {"addr", Psu}, {"info", info}})["ok"], true);
        testsupport::ImageHeader header;
        header.version = 123;
        std::vector<uint8_t> image = testsupport::firmwareImage(header);
        image.resize(128 * 100, 0x5a); // a hundred segments
        std::filesystem::create_directories(service->path("firmwares"));
        std::ofstream(service->path("firmwares/psu-123.bin"), std::ios::binary)
            .write(reinterpret_cast<char const*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        delay(UploadSegments, 150); // 15 s for the whole upload
    }

    // Starts the service and waits until the upload of the firmware run goes on.
    void reachFirmwareRun() {
        prepareFirmwareRun();
        startService();
        ASSERT_TRUE(waitRequests(UploadSegments, 5));
    }

    // Sends SIGTERM and returns the time to the process's end.
    int64_t stopMs() {
        auto const begin = Clock::now();
        std::optional<int> const status = service->stop(SIGTERM, 60000);
        int64_t const took = msSince(begin);
        EXPECT_EQ(status, std::optional<int>(0)) << service->log();
        return took;
    }
};

TEST_F(StopTest, SigtermEndsTheServiceInTimeAtEveryPhase) {
    struct Phase {
        char const* name;
        // Prepares the machine and brings the service to the phase; each
        // phase lasts far longer than the bound.
        std::function<void()> reach;
    };
    Phase const phases[] = {
        {"configuration attempts",
         [this] {
             // A silent main board fails every attempt; the stop comes in
             // the second one or its pause.
             control({{"op", "present"}, {"addr", Main}, {"value", false}});
             startService();
             ASSERT_TRUE(service->waitLog("Configuration attempt (2/3)"));
         }},
        {"synchronous reboot of the main board",
         [this] {
             startService();
             ASSERT_TRUE(waitRequests(
                 {{"addr", Main}, {"cmd", Misc}, {"slot", Protocol::Misc::Reboot}}, 1));
             // It never comes back: the start would wait 10 s for it.
             control({{"op", "present"}, {"addr", Main}, {"value", false}});
         }},
        {"board initialisation",
         [this] {
             for (int address : {Psu, Light}) {
                 delay({{"addr", address}}, 250);
             }
             startService();
             ASSERT_TRUE(waitRequests({{"addr", Psu}}, 3));
         }},
        {"schema transfer",
         [this] {
             delay(MainFileWrites, 300); // 35 segments
             startService();
             ASSERT_TRUE(waitRequests(MainFileWrites, 3));
         }},
        {"automatic firmware run", [this] { reachFirmwareRun(); }},
        {"file transfer",
         [this] {
             startWith(exampleConfig());
             std::string const local = service->path("big.bin");
             std::ofstream(local) << std::string(128 * 200, 'x');
             delay(MainFileWrites, 30);
             control({{"op", "clearRequests"}});
             client->publish(topic("main/action/fileTransmit/request/t"),
                             json({{"local", local}, {"remote", "big.bin"}}).dump());
             ASSERT_TRUE(waitRequests(MainFileWrites, 5));
         }},
        {"monitoring restart during the firmware run",
         [this] {
             reachFirmwareRun();
             ASSERT_TRUE(awaitServing()) << service->log();
             client->publish(topic("config/set/request/w"), R"({"device":{"statusPeriod":1000}})");
             ASSERT_TRUE(service->waitLog("Restarting monitor thread due to changed config"));
         }},
    };
    for (Phase const& phase : phases) {
        SCOPED_TRACE(phase.name);
        control({{"op", "reset"}}); // the scenario again, without rules
        std::filesystem::remove_all(service->path("firmwares"));
        phase.reach();
        if (HasFatalFailure()) {
            return;
        }
        int64_t const took = stopMs();
        std::cout << "SIGTERM during " << phase.name << ": exit after " << took << " ms"
                  << std::endl;
        EXPECT_LE(took, StopMs) << service->log();
        EXPECT_NE(service->log().find("[Engine] Stopped!"), std::string::npos) << service->log();
    }
}

TEST_F(StopTest, AGetIsAnsweredWhileAConfigWriteMeetsAFirmwareRun) {
    prepareFirmwareRun();
    startWith(exampleConfig());
    ASSERT_TRUE(waitRequests(UploadSegments, 5));

    client->publish(topic("config/set/request/w"), R"({"device":{"statusPeriod":1000}})");
    auto const begin = Clock::now();
    std::string const reply = call("psu/misc/uptime/get", "", "g");
    int64_t const latency = msSince(begin);
    std::cout << "get during a config write and a firmware run: " << latency << " ms" << std::endl;
    EXPECT_FALSE(reply.empty());
    EXPECT_LE(latency, GetBoundMs);
    // The run was still going: the get did not just wait for its end.
    json const uploads = control({{"op", "requestCount"}, {"match", UploadSegments}});
    EXPECT_LT(uploads.value("count", 0), 100) << uploads;
    EXPECT_EQ(json::parse(client->takePayload(topic("config/set/response/w"), e2e::ReplyMs),
                          nullptr, false)
                  .value("completed", false),
              true);
    EXPECT_LE(stopMs(), StopMs);
}

} // namespace

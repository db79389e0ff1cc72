// A stop always wins: SIGTERM ends the service in time whatever phase it is
// in, and no request waits behind a restart of the monitoring thread.

#include "support/FirmwareImage.h"
#include "support/ServiceRun.h"

#include "bus/Protocol.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// SIGTERM ends the service within two seconds plus one bus time-out (500 ms):
// a stop wakes the bus request in flight, a segment of a transfer or an
// upload as much as a value request.
constexpr int64_t StopMs = 2000 + 500;
// Without a bus request that could be in flight: two seconds.
constexpr int64_t StopWithoutBusMs = 2000;
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

// A TCP port on loopback where no broker answers: bound only, every
// connection is refused; listening, a connection is taken but nothing is
// ever answered, so the client's attempt stays in flight.
class SilentPort {
public:
    explicit SilentPort(bool listening) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        auto* const raw = reinterpret_cast<sockaddr*>(&address);
        EXPECT_EQ(::bind(fd, raw, length), 0);
        EXPECT_EQ(::getsockname(fd, raw, &length), 0);
        number = ntohs(address.sin_port);
        if (listening) {
            EXPECT_EQ(::listen(fd, 1), 0);
        }
    }
    ~SilentPort() {
        for (int open : {accepted, fd}) {
            if (open >= 0) {
                ::close(open);
            }
        }
    }
    SilentPort(SilentPort const&) = delete;
    SilentPort& operator=(SilentPort const&) = delete;

    std::string url() const { return "127.0.0.1:" + std::to_string(number); }

    // Waits (bounded) until a client has connected and sent its first bytes.
    bool waitRequest(int timeoutMs) {
        pollfd listener{fd, POLLIN, 0};
        if (::poll(&listener, 1, timeoutMs) != 1) {
            return false;
        }
        accepted = ::accept(fd, nullptr, nullptr);
        pollfd request{accepted, POLLIN, 0};
        std::array<char, 256> bytes{};
        return accepted >= 0 && ::poll(&request, 1, timeoutMs) == 1 &&
               ::recv(accepted, bytes.data(), bytes.size(), 0) > 0;
    }

private:
    int const fd;
    int accepted = -1;
    uint16_t number = 0;
};

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

    void startService(json const& config) {
        service->writeConfig(config);
        service->start();
    }
    void startService() { startService(exampleConfig()); }

    // The example configuration with a broker url where no broker answers.
    json configWithout(SilentPort const& port) const {
        json config = exampleConfig();
        config["mqtt"]["url"] = port.url();
        return config;
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
        int64_t boundMs = StopMs;
        // The last line of a stop that came in this phase.
        char const* stopped = "[Engine] Stopped!";
        // A line that begins the phase, and those that would end it, where
        // the log tells whether the signal came during the phase.
        char const* began = nullptr;
        std::vector<char const*> notEnded = {};
    };
    std::optional<SilentPort> port;
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
        {"waiting for the broker",
         [&] {
             port.emplace(false);
             startService(configWithout(*port));
             ASSERT_TRUE(service->waitLog("Connection failed"));
         },
         StopWithoutBusMs, "[MQTT::Client] Stopped!"},
        {"connection attempt to a broker that never answers",
         [&] {
             port.emplace(true);
             startService(configWithout(*port));
             ASSERT_TRUE(port->waitRequest(WaitRequestMs));
         },
         StopWithoutBusMs, "[MQTT::Client] Stopped!"},
        {"board initialisation",
         [this] {
             // Each request of the boards answered within the bus time-out
             // (100 ms), slowly: an initialisation takes seconds.
             for (int address : {Psu, Light}) {
                 delay({{"addr", address}}, 60);
             }
             startService();
             ASSERT_TRUE(service->waitLog("Initializing psu..."));
             ASSERT_TRUE(waitRequests({{"addr", Psu}}, 5));
         },
         StopWithoutBusMs,
         "[Engine] Stopped!",
         "Initializing psu...",
         {"Initialized psu", "Could not initialize psu", "[Engine] Started!"}},
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
        port.reset();
        std::cout << "SIGTERM during " << phase.name << ": exit after " << took << " ms"
                  << std::endl;
        EXPECT_LE(took, phase.boundMs) << service->log();
        std::string const log = service->log();
        EXPECT_NE(log.find(phase.stopped), std::string::npos) << log;
        // What the log held when the signal came.
        std::string const before = log.substr(0, log.find("Signal caught"));
        if (phase.began) {
            EXPECT_NE(before.find(phase.began), std::string::npos) << log;
        }
        for (char const* ended : phase.notEnded) {
            EXPECT_EQ(before.find(ended), std::string::npos) << ended << "\n" << log;
        }
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

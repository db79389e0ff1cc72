// Everything at once against the real service for a bounded time: monitors
// on many nodes, gets and sets from two clients, "config" writes that restart
// the monitoring thread and the broker client, reboots, file transfers, then
// a stop at a random moment. The service must end in time with status 0 and
// no sanitizer report, and answer no request twice. A watchdog puts every
// thread's stack of a service that hangs into the failure.

#include "support/ServiceRun.h"
#include "support/ThreadStacks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using Random = std::mt19937;

// Bounds of one step of a lane: the longest wait for a reply or a notice,
// and, beyond every such wait, the time after which a lane counts as stuck.
constexpr int ReplyWaitMs = 3000;
constexpr int NoticeWaitMs = 20000;
constexpr int64_t LaneStuckMs = 60000;
// The service answers nothing for this long: it hangs.
constexpr int64_t ServiceStuckMs = 60000;
// From SIGTERM to the end of the process.
constexpr int ExitMs = 10000;
// Every lane does at most this many steps, whatever the run's length.
constexpr int MaxSteps = 100000;

int envInt(char const* name, int fallback) {
    char const* value = std::getenv(name);
    int const number = value ? std::atoi(value) : 0;
    return number > 0 ? number : fallback;
}

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string topic(std::string const& relative) {
    return std::string(e2e::Base) + "/" + relative;
}

template <typename T> T const& pick(std::vector<T> const& choices, Random& random) {
    return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(random)];
}

int between(int low, int high, Random& random) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

// A call and the payloads it is sent with (one drawn per request).
struct Call {
    std::string name;
    std::vector<std::string> payloads;
};

// Reads of leaves, groups, whole boards, the service's own nodes and the root.
std::vector<Call> const Gets = {
    {"mainBoard/telemetry/uptime/get", {""}},
    {"mainBoard/telemetry/boardTemperature/get", {""}},
    {"mainBoard/status/get", {""}},
    {"mainBoard/config/busSpeed/get", {""}},
    {"psu/telemetry/inputVoltage/get", {""}},
    {"psu/telemetry/get", {""}},
    {"psu/status/get", {""}},
    {"psu/config/get", {""}},
    {"psu/board/get", {""}},
    {"psu/misc/uptime/get", {""}},
    {"psu/get", {""}},
    {"lightController/telemetry/ledCurrent/get", {""}},
    {"lightController/telemetry/actualColour/get", {""}},
    {"lightController/status/get", {""}},
    {"status/get", {""}},
    {"statistics/cache/get", {""}},
    {"config/get", {""}},
    {"get", {""}},
};

// Writes to the boards, directly and through the configuration node (which
// also stores them and rewrites the file).
std::vector<Call> const Sets = {
    {"psu/config/fanMode/set", {"\"auto\"", "\"low\"", "\"high\""}},
    {"psu/config/batteryLowThreshold/set", {"10", "35", "80"}},
    {"psu/config/outputEnabled/set", {"true", "false"}},
    {"mainBoard/config/busSpeed/set", {"\"slow\"", "\"fast\""}},
    {"config/set",
     {R"({"boards":{"psu":{"fanMode":"auto"}}})", R"({"boards":{"psu":{"fanMode":"high"}}})",
      R"({"boards":{"psu":{"batteryLowThreshold":20}}})"}},
};

// Nodes that report changes: leaves, groups and whole boards.
std::vector<std::string> const Monitored = {
    "mainBoard/telemetry/uptime",
    "mainBoard/telemetry/boardTemperature",
    "mainBoard/telemetry",
    "mainBoard/status",
    "psu/telemetry/inputVoltage",
    "psu/telemetry/batteryLevel",
    "psu/telemetry/mainsPresent",
    "psu/telemetry",
    "psu/status/mainsLost",
    "psu/status",
    "psu",
    "lightController/telemetry/ledCurrent",
    "lightController/telemetry/actualColour",
    "lightController/telemetry",
    "lightController/status",
    "lightController",
};

// Telemetry slots changed on the simulated boards, so that the monitors fire:
// address, slot, lowest and highest raw value.
struct RawRange {
    int address;
    int slot;
    int low;
    int high;
};
std::vector<RawRange> const Telemetry = {
    {0, 1, 200, 600},
    {1, 0, 2300, 2500},
    {1, 1, 0, 100},
    {16, 0, 0, 900},
};

// A change on the simulated boards: a telemetry value, or status slot 1 of a
// board other than the power supply (whose statuses decide its reboots).
json boardChange(Random& random) {
    if (between(0, 2, random) == 0) {
        return {{"op", "setStatus"},
                {"addr", between(0, 1, random) == 0 ? 0 : 16},
                {"status", between(0, 1, random) * 2},
                {"errors", 0}};
    }
    RawRange const& raw = pick(Telemetry, random);
    return {{"op", "setRaw"},
            {"addr", raw.address},
            {"table", "telemetry"},
            {"slot", raw.slot},
            {"raw", between(raw.low, raw.high, random)}};
}

// One client of the run on a thread of its own. It counts every reply and
// notice it gets by topic; its heartbeat says when its current step began.
class Lane {
public:
    Lane(std::string laneName, std::string const& url, std::atomic<bool>& stop,
         std::atomic<int64_t>& lastAnswerMs, Clock::time_point start)
        : name(std::move(laneName)), client(url), stopping(stop), lastAnswer(lastAnswerMs),
          origin(start), heartbeat(msSince(start)) {}

    bool connect(std::vector<std::string> const& filters) {
        bool ok = client.connect();
        for (auto const& filter : filters) {
            ok = ok && client.subscribe(filter);
        }
        return ok;
    }

    // Runs `step` until the run stops, the deadline or MaxSteps.
    void run(int64_t deadlineMs, std::function<void(Lane&, int)> step) {
        thread = std::thread([this, deadlineMs, step = std::move(step)] {
            for (int n = 0; n < MaxSteps && !stopping && msSince(origin) < deadlineMs; ++n) {
                beat();
                step(*this, n);
            }
            finished = true;
        });
    }

    void join() {
        if (thread.joinable()) {
            thread.join();
        }
    }

    // A call below the base topic: the reply, "" when none came in time.
    std::string call(std::string const& callName, std::string const& payload,
                     std::string const& id) {
        ++sent;
        beat();
        client.publish(topic(callName + "/request/" + id), payload);
        return await(callName + "/response/" + id, ReplyWaitMs);
    }

    // Waits for a message on the topic below the base topic, in short slices
    // so that the end of the run ends the wait too: its payload or "".
    std::string await(std::string const& relative, int timeoutMs) {
        std::string const absolute = topic(relative);
        auto const start = Clock::now();
        mqtttest::Received message;
        while (msSince(start) < timeoutMs) {
            if (client.take(absolute, message, 200)) {
                ++answers[absolute];
                lastAnswer = msSince(origin);
                return message.payload;
            }
            if (stopping) {
                break;
            }
        }
        return "";
    }

    void publish(std::string const& relative, std::string const& payload) {
        client.publish(topic(relative), payload);
    }

    // Sleeps, cut short by the end of the run.
    void pause(int ms) const {
        auto const until = Clock::now() + std::chrono::milliseconds(ms);
        while (!stopping && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 50)));
        }
    }

    // Ms since the current step began; 0 once the lane has ended.
    int64_t stepAge() const { return finished ? 0 : msSince(origin) - heartbeat; }

    // The lane's own request ids: unique across lanes.
    std::string id(std::string const& suffix) const { return name + "-" + suffix; }

    // Replies and notices to this lane's requests per topic, those taken and
    // those left over (the lanes share some subscriptions).
    std::map<std::string, int> tally() const {
        std::map<std::string, int> all = answers;
        for (auto const& message : client.pending()) {
            std::string const last = message.topic.substr(message.topic.rfind('/') + 1);
            if (last.rfind(id(""), 0) == 0 &&
                (message.topic.find("/response/") != std::string::npos ||
                 message.topic.find("/finished/") != std::string::npos)) {
                ++all[message.topic];
            }
        }
        return all;
    }

    std::string const name;
    int sent = 0; // touched by the lane's thread only, read after the join
    int completed = 0;

private:
    void beat() { heartbeat = msSince(origin); }

    mqtttest::Recorder client;
    std::atomic<bool>& stopping;
    std::atomic<int64_t>& lastAnswer;
    Clock::time_point const origin;
    std::atomic<int64_t> heartbeat;
    std::atomic<bool> finished{false};
    std::map<std::string, int> answers; // the lane's thread only until joined
    std::thread thread;
};

bool completed(std::string const& reply) {
    json const answer = json::parse(reply, nullptr, false);
    return answer.is_object() && answer.value("completed", false);
}

// The response topics of the calls, for a lane's subscriptions.
std::vector<std::string> responsesOf(std::vector<std::string> const& names) {
    std::vector<std::string> filters;
    for (auto const& name : names) {
        filters.push_back(topic(name + "/response/+"));
    }
    return filters;
}

std::vector<std::string> namesOf(std::vector<Call> const& calls) {
    std::vector<std::string> names;
    for (auto const& call : calls) {
        names.push_back(call.name);
    }
    return names;
}

bool hasExited(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    size_t const end = text.rfind(") ");
    return end == std::string::npos || text.compare(end + 2, 1, "Z") == 0;
}

class StressTest : public e2e::ServiceRun {
protected:
    void SetUp() override {
        ServiceRun::SetUp();
        json config = exampleConfig();
        config["device"]["statusPeriod"] = 100;
        startWith(config);
        // Only the monitors' notices of telemetry reach the main client.
        client = subscriber(topic("+/telemetry/+"));
    }

    void TearDown() override {
        endLanes(); // a failed assertion may have left them running
        ServiceRun::TearDown();
    }

    Lane& lane(std::string const& name, std::vector<std::string> const& filters) {
        lanes.push_back(std::make_unique<Lane>(name, broker.url(), stopping, lastAnswer, origin));
        EXPECT_TRUE(lanes.back()->connect(filters)) << name;
        return *lanes.back();
    }

    // Gets and sets at random, as fast as they are answered.
    void requests(std::string const& name, uint32_t seed, int64_t deadlineMs) {
        std::vector<std::string> names = namesOf(Gets);
        for (auto const& set : Sets) {
            names.push_back(set.name);
        }
        auto random = std::make_shared<Random>(seed);
        lane(name, responsesOf(names)).run(deadlineMs, [random](Lane& self, int n) {
            bool const write = between(0, 9, *random) < 3;
            Call const& call = pick(write ? Sets : Gets, *random);
            self.completed += completed(
                self.call(call.name, pick(call.payloads, *random), self.id(std::to_string(n))));
            self.pause(between(0, 20, *random));
        });
    }

    // Monitors switched on and off on many nodes, in both forms, while the
    // boards' telemetry changes under them.
    void monitors(uint32_t seed, int64_t deadlineMs) {
        std::vector<std::string> names;
        for (auto const& node : Monitored) {
            names.push_back(node + "/monitor");
        }
        auto random = std::make_shared<Random>(seed);
        Lane& monitorLane = lane("monitor", responsesOf(names));
        for (auto const& node : Monitored) {
            monitorLane.completed += completed(
                monitorLane.call(node + "/monitor", R"({"active":true})",
                                 monitorLane.id("on-" + std::to_string(monitorLane.sent))));
        }
        monitorLane.run(deadlineMs, [this, random](Lane& self, int n) {
            simulator->control(boardChange(*random));
            std::string const& node = pick(Monitored, *random);
            int const choice = between(0, 9, *random);
            std::string const payload =
                choice < 2
                    ? R"({"active":false})"
                    : json({{"active", true}, {"skipChangesForMs", choice < 6 ? 0 : 20}}).dump();
            if (n % 2 == 0) {
                self.publish(node + "/monitor", payload);
            } else {
                self.completed +=
                    completed(self.call(node + "/monitor", payload, self.id(std::to_string(n))));
            }
            self.pause(between(20, 120, *random));
        });
    }

    // "config" writes: the status period (the monitoring thread restarts) and
    // the broker settings (the client restarts on the same broker).
    void configWrites(uint32_t seed, int64_t deadlineMs) {
        auto random = std::make_shared<Random>(seed);
        std::string const url = broker.url();
        lane("config", responsesOf({"config/device/statusPeriod/set", "config/mqtt/set"}))
            .run(deadlineMs, [random, url](Lane& self, int n) {
                std::string const id = self.id(std::to_string(n));
                if (n % 2 == 0) {
                    std::vector<std::string> const periods = {"100", "150", "250"};
                    self.completed += completed(
                        self.call("config/device/statusPeriod/set", pick(periods, *random), id));
                } else {
                    std::vector<std::string> const ids = {"", "stress-a", "stress-b"};
                    json const section = {{"url", url},
                                          {"base", e2e::Base},
                                          {"keepAliveSec", between(5, 30, *random)},
                                          {"clientId", pick(ids, *random)}};
                    self.completed += completed(self.call("config/mqtt/set", section.dump(), id));
                }
                self.pause(between(1000, 4000, *random));
            });
    }

    // Reboot requests of one board at a time, each followed until the board
    // is announced back (or the wait ends).
    void reboots(uint32_t seed, int64_t deadlineMs) {
        std::vector<std::string> const boards = {"psu", "psu", "lightController", "lightController",
                                                 "mainBoard"};
        std::vector<std::string> filters = responsesOf(
            {"psu/action/reboot", "lightController/action/reboot", "mainBoard/action/reboot"});
        for (auto const& board : {"psu", "lightController", "mainBoard"}) {
            filters.push_back(topic(std::string(board) + "/action/reboot/finished/+"));
        }
        auto random = std::make_shared<Random>(seed);
        lane("reboot", filters).run(deadlineMs, [random, boards](Lane& self, int n) {
            std::string const& board = pick(boards, *random);
            std::string const id = self.id(std::to_string(n));
            if (completed(self.call(board + "/action/reboot", "", id))) {
                self.completed +=
                    !self.await(board + "/action/reboot/finished/" + id, NoticeWaitMs).empty();
            }
            self.pause(between(500, 3000, *random));
        });
    }

    // Small files sent to the main board and fetched back, with checksum
    // and delete requests between them.
    void fileTransfers(uint32_t seed, int64_t deadlineMs) {
        std::string const files = dir.path("files");
        std::filesystem::create_directories(files);
        auto random = std::make_shared<Random>(seed);
        std::vector<std::string> filters =
            responsesOf({"main/action/fileTransmit", "main/action/fileReceive",
                         "main/action/fileChecksum", "main/action/fileDelete"});
        filters.push_back(topic("main/action/fileTransmit/finished/+"));
        filters.push_back(topic("main/action/fileReceive/finished/+"));
        lane("files", filters).run(deadlineMs, [random, files](Lane& self, int n) {
            std::string const number = std::to_string(n);
            std::string const tx = self.id("tx-" + number);
            std::string const rx = self.id("rx-" + number);
            std::string const remote = "stress-" + std::to_string(n % 3) + ".bin";
            std::string bytes(static_cast<size_t>(between(0, 3000, *random)), '\0');
            for (char& byte : bytes) {
                byte = static_cast<char>(between(0, 255, *random));
            }
            std::string const sent = files + "/out-" + number;
            std::string const fetched = files + "/in-" + number;
            std::ofstream(sent, std::ios::binary) << bytes;
            json const remoteOnly = {{"remote", remote}};
            if (completed(self.call("main/action/fileTransmit",
                                    json({{"local", sent}, {"remote", remote}}).dump(), tx))) {
                if (n % 3 == 0) {
                    // Beside the transfer: one of the two is refused, whichever comes second.
                    self.call("main/action/fileChecksum", remoteOnly.dump(),
                              self.id("sum-" + number));
                }
                self.await("main/action/fileTransmit/finished/" + tx, NoticeWaitMs);
            }
            if (completed(self.call("main/action/fileReceive",
                                    json({{"local", fetched}, {"remote", remote}}).dump(), rx)) &&
                !self.await("main/action/fileReceive/finished/" + rx, NoticeWaitMs).empty()) {
                self.completed += e2e::readFile(fetched) == bytes;
            }
            if (n % 5 == 4) {
                self.call("main/action/fileDelete", remoteOnly.dump(), self.id("del-" + number));
            }
            std::filesystem::remove(sent);
            std::filesystem::remove(fetched);
            self.pause(between(50, 500, *random));
        });
    }

    // Why the run must end now, or "" while all is well.
    std::string stuck(pid_t pid) const {
        if (hasExited(pid)) {
            return "the service ended during the run";
        }
        for (auto const& each : lanes) {
            if (each->stepAge() > LaneStuckMs) {
                return "lane " + each->name + " has been in one step for " +
                       std::to_string(each->stepAge()) + " ms";
            }
        }
        int64_t const quietMs = msSince(origin) - lastAnswer;
        if (quietMs > ServiceStuckMs) {
            return "the service answered nothing for " + std::to_string(quietMs) + " ms";
        }
        return "";
    }

    // Ends every lane (each is within one bounded step).
    void endLanes() {
        stopping = true;
        for (auto& each : lanes) {
            each->join();
        }
    }

    // The watchdog's last act: the stacks, then the process killed.
    std::string stacksAndKill(pid_t pid) {
        std::string const stacks = e2e::threadStacks(pid);
        service->stop(SIGKILL, 5000);
        endLanes();
        return stacks;
    }

    Clock::time_point const origin = Clock::now();
    std::atomic<bool> stopping{false};
    std::atomic<int64_t> lastAnswer{0};
    std::vector<std::unique_ptr<Lane>> lanes;
};

TEST_F(StressTest, EverythingAtOnceThenAStopAtARandomMoment) {
    uint32_t const seed = static_cast<uint32_t>(envInt("BM_STRESS_SEED", std::random_device()()));
    int64_t const runMs = envInt("BM_STRESS_SECONDS", 30) * 1000LL;
    std::cout << "seed " << seed << " (BM_STRESS_SEED), " << runMs / 1000 << " s\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    Random random(seed);
    int64_t const startMs = msSince(origin);
    int64_t const stopAtMs =
        startMs + std::uniform_int_distribution<int64_t>(runMs / 2, runMs)(random);
    int64_t const deadlineMs = startMs + runMs + 2 * ExitMs;
    pid_t const pid = service->pid();
    ASSERT_GT(pid, 0);

    lastAnswer = startMs;
    monitors(seed + 1, deadlineMs);
    requests("a", seed + 2, deadlineMs);
    requests("b", seed + 3, deadlineMs);
    configWrites(seed + 4, deadlineMs);
    reboots(seed + 5, deadlineMs);
    fileTransfers(seed + 6, deadlineMs);

    while (msSince(origin) < stopAtMs) {
        std::string const why = stuck(pid);
        if (!why.empty()) {
            std::string const stacks = stacksAndKill(pid);
            FAIL() << why << "\n" << stacks << "\n" << service->log();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // The stop comes while every lane is still busy.
    auto const stopSent = Clock::now();
    std::optional<int> const status = service->stop(SIGTERM, ExitMs);
    int64_t const exitMs = msSince(stopSent);
    if (!status) {
        std::string const stacks = stacksAndKill(pid);
        FAIL() << "no exit " << ExitMs << " ms after SIGTERM\n" << stacks << "\n" << service->log();
    }
    endLanes();

    // The stop has failed the test already if a sanitizer reported.
    EXPECT_EQ(*status, 0) << service->log();
    std::string report;
    for (auto const& each : lanes) {
        int answered = 0;
        for (auto const& [topic, count] : each->tally()) {
            answered += count > 0;
            EXPECT_LE(count, 1) << topic << " answered " << count << " times";
        }
        report += " " + each->name + " " + std::to_string(each->sent) + "/" +
                  std::to_string(answered) + "/" + std::to_string(each->completed);
    }
    size_t notices = 0;
    for (auto const& message : client->pending()) {
        notices += message.topic.find("/get") == std::string::npos &&
                   message.topic.find("/monitor") == std::string::npos;
    }
    EXPECT_GT(notices, 0u) << "no monitor reported a change";
    std::cout << "stopped after " << (stopAtMs - startMs) / 1000.0 << " s, exited in " << exitMs
              << " ms; per lane sent/answered/completed:" << report << "; " << notices
              << " monitor notices\n";
}

} // namespace

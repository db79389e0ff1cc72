// Many gets a second while the monitoring loop runs: every request is
// answered once and the loop keeps its pace.

#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using e2e::Base;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

int constexpr PeriodMs = 50;
int constexpr GetsPerSecond = 1000;
char const* const Getter = "psu/telemetry/inputVoltage/get";

class LoadTest : public e2e::ServiceRun {
protected:
    // The mean over the boards of the time between two status passes, less
    // the period the loop waits between cycles: the cycle's own time.
    double cycleMs(std::string const& id) {
        json const reply = json::parse(call("statistics/cache/get", "", id), nullptr, false);
        if (!reply.is_object() || !reply.value("completed", false)) {
            ADD_FAILURE() << "statistics not answered: " << reply;
            return 0;
        }
        double sum = 0;
        int boards = 0;
        for (auto const& board : reply["data"]["caheAge"]) {
            sum += board["status"].get<double>() - PeriodMs;
            ++boards;
        }
        return boards > 0 ? sum / boards : 0;
    }

    // The median of a few samples, half a second apart.
    double sampledCycleMs(std::string const& name, int samples) {
        std::vector<double> values;
        for (int sample = 0; sample < samples; ++sample) {
            values.push_back(cycleMs(name + std::to_string(sample)));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
};

// Disabled until replies stop going missing in bursts at this rate (a few to
// hundreds of 15000 in a run); run it with --gtest_also_run_disabled_tests.
TEST_F(LoadTest, DISABLED_ThousandGetsPerSecondAreEachAnsweredOnceWhileMonitoringKeepsItsPace) {
    json config = exampleConfig();
    config["device"]["statusPeriod"] = PeriodMs;
    startWith(config);
    // Only the statistics replies reach the main client; the load has its own.
    client = subscriber(topic("statistics/cache/get/response/+"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double const idleMs = sampledCycleMs("idle-", 10);

    char const* const fromEnv = std::getenv("BM_LOAD_SECONDS");
    int const seconds = fromEnv && std::atoi(fromEnv) > 0 ? std::atoi(fromEnv) : 15;
    int const total = seconds * GetsPerSecond;
    auto replies = subscriber(topic(std::string(Getter) + "/response/+"));
    // Four clients, each sending its share in steps every ten milliseconds
    // on a schedule that does not drift; monitoring sampled beside them.
    int constexpr Senders = 4;
    std::vector<std::thread> load;
    for (int first = 0; first < Senders; ++first) {
        auto sender = std::make_shared<mqtttest::Recorder>(broker.url());
        ASSERT_TRUE(sender->connect());
        load.emplace_back([this, sender, first, total] {
            auto const start = Clock::now();
            for (int sent = first; sent < total;) {
                for (int step = 0; step < 10 && sent < total; ++step, sent += Senders) {
                    sender->publish(
                        topic(std::string(Getter) + "/request/load-" + std::to_string(sent)), "");
                }
                std::this_thread::sleep_until(start + std::chrono::milliseconds(sent));
            }
        });
    }
    auto const loadStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double const loadedMs = sampledCycleMs("loaded-", std::max(3, (seconds - 2) * 2 - 2));
    for (auto& sender : load) {
        sender.join();
    }
    double const sendSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();

    // Every request has exactly one reply, with the value.
    std::vector<mqtttest::Received> received;
    auto const deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        received = replies->pending();
        if (received.size() >= static_cast<size_t>(total)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // a late second reply
    received = replies->pending();
    std::map<std::string, int> perId;
    int wrong = 0;
    for (auto const& message : received) {
        ++perId[message.topic.substr(message.topic.rfind('/') + 1)];
        wrong += json::parse(message.payload, nullptr, false) ==
                         json({{"completed", true}, {"data", 24.12}})
                     ? 0
                     : 1;
    }
    int missing = 0;
    std::string missingIds;
    int twice = 0;
    for (int id = 0; id < total; ++id) {
        auto const found = perId.find("load-" + std::to_string(id));
        if (found == perId.end() && missingIds.size() < 80) {
            missingIds += " load-" + std::to_string(id);
        }
        missing += found == perId.end() ? 1 : 0;
        twice += found != perId.end() && found->second > 1 ? 1 : 0;
    }
    EXPECT_EQ(missing, 0) << "among them" << missingIds;
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(perId.size(), static_cast<size_t>(total)); // no reply to an id never sent

    std::cout << total << " gets sent in " << sendSeconds << " s; monitoring cycle " << idleMs
              << " ms idle, " << loadedMs << " ms under load (ratio "
              << (idleMs > 0 ? loadedMs / idleMs : 0) << ")\n";
    EXPECT_LE(loadedMs, 1.2 * idleMs + 5) << service->log().substr(0, 2000);
}

} // namespace

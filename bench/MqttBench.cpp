// Round trip of a tree read over this service's MQTT client, next to the
// broker's own echo: a bare Paho client publishing to a topic it subscribes
// itself. Both run against one mosquitto on loopback whose "host:port" is
// given in BM_MQTT_URL; the ratio of the medians is what the client's
// dispatch, tree refresh and reply add to the broker's round trip.

#include "foundation/LambdaTree.h"
#include "foundation/Log.h"
#include "mqtt/Client.h"

#include "MedianReporter.h"

#include <benchmark/benchmark.h>
#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

using namespace std::chrono_literals;

constexpr int Repetitions = 9;

std::string brokerUrl() {
    char const* url = std::getenv("BM_MQTT_URL");
    return url ? url : "";
}

// A plain Paho client that publishes and waits for the next message on the
// topics it subscribes.
class Caller : public virtual mqtt::callback {
public:
    explicit Caller(std::string const& id) : client(brokerUrl(), id, nullptr) {
        client.set_callback(*this);
        mqtt::connect_options options;
        options.set_clean_session(true);
        client.connect(options)->wait();
    }
    ~Caller() override { client.disconnect()->wait(); }

    void subscribe(std::string const& filter) { client.subscribe(filter, 0)->wait(); }

    // Publishes with QoS 0 and waits for the next message: false after the time-out.
    bool roundTrip(std::string const& topic, std::string const& payload,
                   std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        uint64_t const before = received;
        client.publish(topic, payload.data(), payload.size(), 0, false);
        return arrived.wait_for(lock, timeout, [&] { return received != before; });
    }

private:
    void message_arrived(mqtt::const_message_ptr) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++received;
        }
        arrived.notify_all();
    }

    mqtt::async_client client;
    std::mutex mutex; // guards received
    std::condition_variable arrived;
    uint64_t received = 0;
};

// Every client is made once per process: the library takes a while to send
// a new client's first packet.
void BrokerEcho(benchmark::State& state) {
    static Caller caller("bench-echo");
    caller.subscribe("bench/echo");
    for (auto _ : state) {
        if (!caller.roundTrip("bench/echo", "42", 5s)) {
            state.SkipWithError("the broker did not echo");
            break;
        }
    }
}

// The service's client with a one-node tree, made once: the tree's topics
// are derived on the first connection of the process.
class Service {
public:
    Service() : client("bench", "MQTT") {
        MQTT::Config settings("bench", "MQTT");
        settings.setUrl(brokerUrl());
        settings.setClientId("bench-service");
        client.setConfig(settings);
        LambdaTree tree;
        tree.insert({"value", LambdaTree([] { return std::make_pair(true, nlohmann::json(42)); })});
        client.subscribeLambdaTree(tree, "");
        client.start();
        connected = client.waitConnected(10000);
    }

    MQTT::Client client;
    bool connected;
};

void RpcGet(benchmark::State& state) {
    static Service service;
    if (!service.connected) {
        state.SkipWithError("the client did not connect");
        return;
    }
    static Caller caller("bench-caller");
    caller.subscribe("bench/value/get/response/+");
    // The tree's topics are subscribed right after the connection.
    bool ready = false;
    for (int attempt = 0; attempt < 50 && !ready; ++attempt) {
        ready = caller.roundTrip("bench/value/get/request/0", "", 100ms);
    }
    if (!ready) {
        state.SkipWithError("the client did not answer");
        return;
    }
    for (auto _ : state) {
        if (!caller.roundTrip("bench/value/get/request/1", "", 5s)) {
            state.SkipWithError("the client did not answer");
            break;
        }
    }
}

BENCHMARK(BrokerEcho)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);
BENCHMARK(RpcGet)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    if (brokerUrl().empty()) {
        std::fprintf(stderr, "Set BM_MQTT_URL to the \"host:port\" of a broker on loopback.\n");
        return 2;
    }
    // Per-message log lines would measure the system logger, not the client.
    Log::setLevel(Log::Level::Warning);
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto const echo = reporter.medians.find("BrokerEcho");
    auto const rpc = reporter.medians.find("RpcGet");
    if (echo != reporter.medians.end() && rpc != reporter.medians.end() && echo->second > 0) {
        std::printf("RPC get / broker echo round trip (medians): %.2f\n",
                    rpc->second / echo->second);
    }
    benchmark::Shutdown();
    return 0;
}

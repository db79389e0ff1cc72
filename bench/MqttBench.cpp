// Round trip of a tree read over this service's MQTT client, next to the
// broker's own echo (a bare Paho client publishing to a topic it subscribes
// itself) and to the same call answered by a minimal responder written with
// the same library, replying from its arrival callback. All run against one
// mosquitto on loopback whose "host:port" is given in BM_MQTT_URL; the ratios
// of the medians are what the client's dispatch, tree refresh and reply add
// to the broker's round trip, and how far the client stays from the floor
// that the library itself sets.

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

// A plain Paho client, connected with a clean session while it lives.
class PahoClient : public virtual mqtt::callback {
public:
    explicit PahoClient(std::string const& id) : client(brokerUrl(), id, nullptr) {
        client.set_callback(*this);
        mqtt::connect_options options;
        options.set_clean_session(true);
        client.connect(options)->wait();
    }
    ~PahoClient() override { client.disconnect()->wait(); }

    void subscribe(std::string const& filter) { client.subscribe(filter, 0)->wait(); }

protected:
    mqtt::async_client client;
};

// Publishes and waits for the next message on the topics it subscribes.
class Caller : public PahoClient {
public:
    using PahoClient::PahoClient;

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

    std::mutex mutex; // guards received
    std::condition_variable arrived;
    uint64_t received = 0;
};

// Answers every request below "bench/responder/get" with the reply the
// service gives for the value 42, published from the arrival callback.
class Responder : public PahoClient {
public:
    Responder() : PahoClient("bench-responder") { subscribe("bench/responder/get/request/+"); }

private:
    void message_arrived(mqtt::const_message_ptr message) override {
        std::string const& topic = message->get_topic();
        std::string const marker = "/request/";
        size_t const at = topic.rfind(marker);
        if (at == std::string::npos) {
            return;
        }
        std::string const reply = R"({"completed":true,"data":42})";
        client.publish(topic.substr(0, at) + "/response/" + topic.substr(at + marker.size()),
                       reply.data(), reply.size(), 0, false);
    }
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

// Calls name's get below "bench" until the first reply, then once per
// iteration.
void measureGet(benchmark::State& state, Caller& caller, std::string const& name) {
    std::string const request = "bench/" + name + "/get/request/";
    caller.subscribe("bench/" + name + "/get/response/+");
    // A server subscribes its topics once connected: wait for its first answer.
    bool ready = false;
    for (int attempt = 0; attempt < 50 && !ready; ++attempt) {
        ready = caller.roundTrip(request + "0", "", 100ms);
    }
    if (!ready) {
        state.SkipWithError("no answer");
        return;
    }
    for (auto _ : state) {
        if (!caller.roundTrip(request + "1", "", 5s)) {
            state.SkipWithError("no answer");
            break;
        }
    }
}

void RpcGet(benchmark::State& state) {
    static Service service;
    if (!service.connected) {
        state.SkipWithError("the client did not connect");
        return;
    }
    static Caller caller("bench-caller");
    measureGet(state, caller, "value");
}

void ResponderGet(benchmark::State& state) {
    static Responder responder;
    static Caller caller("bench-responder-caller");
    measureGet(state, caller, "responder");
}

BENCHMARK(BrokerEcho)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);
BENCHMARK(RpcGet)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);
BENCHMARK(ResponderGet)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);

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
    double const overEcho = reporter.ratio("RpcGet", "BrokerEcho");
    if (overEcho > 0) {
        std::printf("RPC get / broker echo round trip (medians): %.2f\n", overEcho);
    }
    double const overResponder = reporter.ratio("RpcGet", "ResponderGet");
    if (overResponder > 0) {
        std::printf("RPC get / minimal responder round trip (medians): %.2f (aim < 1.2)\n",
                    overResponder);
    }
    benchmark::Shutdown();
    return 0;
}

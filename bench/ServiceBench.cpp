// Requests to a running service over its broker: the round trip of a get of
// the root node (the whole tree) and the gets per second it sustains with a
// window of requests in flight. The broker's "host:port" is given in
// BM_MQTT_URL, the service's base topic in BM_SERVICE_BASE and the node the
// sustained gets read in BM_GET_NODE (relative to the base).

#include <benchmark/benchmark.h>
#include <mqtt/async_client.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int Repetitions = 5;
constexpr int RootGets = 10;
constexpr int Window = 16;
constexpr auto LoadTime = 5s;
constexpr uint64_t LoadLimit = 200000;

std::string environment(char const* name) {
    char const* value = std::getenv(name);
    return value ? value : "";
}

// A caller of one node's get: numbered requests, replies counted as they come.
class Getter : public virtual mqtt::callback {
public:
    Getter(std::string const& nodeName, std::string const& id)
        : client(environment("BM_MQTT_URL"), id, nullptr), node(nodeName) {
        client.set_callback(*this);
        mqtt::connect_options options;
        options.set_clean_session(true);
        client.connect(options)->wait();
        client.subscribe(nodeName + "/get/response/+", 0)->wait();
    }
    ~Getter() override { client.disconnect()->wait(); }

    void send() {
        std::string const topic = node + "/get/request/" + std::to_string(sent++);
        client.publish(topic, "", 0, 0, false);
    }

    // Waits until `count` replies arrived in all: false after the time-out.
    bool waitReplies(uint64_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return replies >= count; });
    }

    uint64_t sent = 0;    // used by the calling thread only
    uint64_t replies = 0; // guarded by mutex
    uint64_t failed = 0;  // guarded by mutex; replies that did not complete
    size_t lastSize = 0;  // guarded by mutex
    std::mutex mutex;

private:
    void message_arrived(mqtt::const_message_ptr message) override {
        nlohmann::json const reply = nlohmann::json::parse(message->to_string(), nullptr, false);
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++replies;
            failed += reply.is_object() && reply.value("completed", false) ? 0 : 1;
            lastSize = message->get_payload().size();
        }
        arrived.notify_all();
    }

    mqtt::async_client client;
    std::string const node;
    std::condition_variable arrived;
};

void RootGet(benchmark::State& state) {
    Getter getter(environment("BM_SERVICE_BASE"), "bench-root");
    for (auto _ : state) {
        getter.send();
        if (!getter.waitReplies(getter.sent, 5000ms)) {
            state.SkipWithError("the root get was not answered");
            return;
        }
    }
    // A value a board refuses fails the whole reply without slowing it: counted, not fatal.
    std::lock_guard<std::mutex> lock(getter.mutex);
    state.counters["incomplete"] = static_cast<double>(getter.failed);
    state.counters["reply_bytes"] = static_cast<double>(getter.lastSize);
}

// Requests kept in flight for a bounded time: the replies per second, and
// every request answered in the end.
void SustainedGets(benchmark::State& state) {
    Getter getter(environment("BM_SERVICE_BASE") + "/" + environment("BM_GET_NODE"), "bench-load");
    for (auto _ : state) {
        auto const begin = Clock::now();
        while (Clock::now() - begin < LoadTime && getter.sent < LoadLimit) {
            getter.send();
            if (getter.sent > Window && !getter.waitReplies(getter.sent - Window, 2000ms)) {
                break;
            }
        }
        bool const all = getter.waitReplies(getter.sent, 5000ms);
        double const seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(seconds);
        std::lock_guard<std::mutex> lock(getter.mutex);
        state.counters["gets_per_s"] = static_cast<double>(getter.replies) / seconds;
        state.counters["lost"] = static_cast<double>(getter.sent - getter.replies);
        state.counters["failed"] = static_cast<double>(getter.failed);
        if (!all || getter.failed != 0) {
            state.SkipWithError("a get was lost or failed");
        }
    }
}

BENCHMARK(RootGet)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(RootGets)
    ->Repetitions(Repetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(SustainedGets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    if (environment("BM_MQTT_URL").empty() || environment("BM_SERVICE_BASE").empty()) {
        std::fprintf(stderr, "Set BM_MQTT_URL (a broker on loopback) and BM_SERVICE_BASE.\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

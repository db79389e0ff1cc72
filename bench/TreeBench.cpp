// The MQTT client's tree without a broker: a get of the root node of a tree
// shaped like the device interface's (per board a status object, 32
// telemetry values, 8 status objects, 16 configuration values and the misc
// objects), answered as a call, for 3, 16 and 64 boards; and the dispatch of
// a leaf's get among all the topics such a tree registers. The getters
// answer constants, so what is left is the client's and the tree's own cost.

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "foundation/LambdaTree.h"
#include "foundation/Log.h"
#include "mqtt/Client.h"
#include "mqtt/MQTTPublisher.h"

namespace {

using json = nlohmann::json;

LambdaTree constant(json value) {
    return LambdaTree([value = std::move(value)] { return std::make_pair(true, value); });
}

LambdaTree group(char const* prefix, int count, json const& value) {
    LambdaTree nodes;
    for (int i = 0; i < count; ++i) {
        nodes.insert({prefix + std::to_string(i), constant(value)});
    }
    return nodes;
}

LambdaTree board() {
    json bits = json::object();
    for (int i = 0; i < 8; ++i) {
        bits["status" + std::to_string(i)] = i % 2 == 0;
    }
    LambdaTree node;
    node.insert({"board", constant({{"status", bits}, {"errors", bits}})});
    node.insert({"telemetry", group("sensor", 32, 21.5)});
    node.insert({"status", group("status", 8, {{"code", 0}, {"message", "ok"}})});
    node.insert({"config", group("setting", 16, 1000)});
    LambdaTree misc;
    misc.insert({"info", constant({{"boardId", "0x0001"},
                                   {"boardName", "Generated board"},
                                   {"boardVersion", "1.0"},
                                   {"firmwareName", "generated"},
                                   {"firmwareVersion", "1.2.3"}})});
    misc.insert({"uptime", constant(123456)});
    node.insert({"misc", misc});
    return node;
}

// Publications are dropped: only the client's work is measured.
class Discard : public MQTTPublisher {
public:
    bool publish(std::string const&, std::string const&, int, bool) override { return true; }
};

struct Service {
    explicit Service(int boards) : client("bench", "MQTT", outbox) {
        LambdaTree tree;
        for (int i = 0; i < boards; ++i) {
            tree.insert({"board" + std::to_string(i), board()});
        }
        client.subscribeLambdaTree(tree, "");
        // The registrations follow the tree as at a connection.
        client.updateLambdaTreeSubscriptions("", false);
    }
    Discard outbox;
    MQTT::Client client;
};

void RootGetInProcess(benchmark::State& state) {
    Service service(static_cast<int>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = service.client.handleLambdaTreeRpcGet("", "", "", "1").size();
    }
    state.counters["reply_bytes"] = static_cast<double>(bytes);
}

void LeafGetDispatch(benchmark::State& state) {
    Service service(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        service.client.onMessageReceived("bench/board0/telemetry/sensor7/get/request/1", "", 0,
                                         false);
    }
}

BENCHMARK(RootGetInProcess)->Arg(3)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(LeafGetDispatch)->Arg(3)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    // At the service's own level: the debug lines of every request would
    // measure the log, not the tree.
    Log::setLevel(Log::Level::Info);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

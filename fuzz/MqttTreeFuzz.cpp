// The MQTT message handler of the running service: the input's first line is
// a topic below the base topic, the rest the payload. The message goes
// through the client's dispatch to the device interface, whose engine runs on
// the simulated machine on loopback. There is no broker: the client publishes
// into a capture that checks each publication.
//
// Inputs a broker would never deliver are rejected: a topic that is not UTF-8
// or holds a NUL or a wildcard. File and firmware requests name local files:
// a plain file name is moved into the scratch directory, anything else
// rejected, so no input reads or writes outside it. Transfers and uploads
// run on the engine's workers, awaited after each input.
#include "BoardSim.h"
#include "bus/Schema.h"
#include "device/MqttAdaptor.h"
#include "engine/Engine.h"
#include "foundation/Log.h"
#include "mqtt/Client.h"
#include "mqtt/MQTTPublisher.h"
#include "support/ScratchFile.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

using nlohmann::json;
using velt::ZRV480::BoardManager::Manager::Engine;
using velt::ZRV480::BoardManager::Manager::MqttAdaptor;

namespace {

constexpr char const* Base = "fuzz/boardman";
// A file on the main board and one in the scratch directory, for transfers.
constexpr char const* RemoteFile = "a.txt";
constexpr char const* LocalFile = "sent.txt";

[[noreturn]] void fail(char const* what, std::string const& topic, std::string const& payload) {
    std::fprintf(stderr, "MqttTreeFuzz: %s\n  topic: %s\n  payload: %s\n", what, topic.c_str(),
                 payload.c_str());
    std::abort();
}

// What the client would have sent to the broker. Every publication lies on
// or below the base topic, and every reply to a call is a JSON object that
// says whether it completed.
class Capture : public MQTTPublisher {
public:
    bool publish(std::string const& topic, std::string const& payload, int qos,
                 bool /*retained*/) override {
        // The root node's value goes out on the base topic itself.
        if (topic != Base && topic.compare(0, prefix.size(), prefix) != 0) {
            fail("publication outside the base topic", topic, payload);
        }
        if (qos < 0 || qos > 2) {
            fail("publication with an invalid QoS", topic, payload);
        }
        if (topic.find("/response/") != std::string::npos) {
            json const reply = json::parse(payload, nullptr, false);
            if (!reply.is_object() || !reply.contains("completed") ||
                !reply["completed"].is_boolean()) {
                fail("reply without a \"completed\" flag", topic, payload);
            }
        }
        return true;
    }

private:
    std::string const prefix = std::string(Base) + "/";
};

// The default machine with short boot windows, so that the inputs after a
// reboot request spend little time on a silent board.
json machineScenario() {
    std::ifstream file(BOARDSIM_DEFAULT_SCENARIO);
    json scenario = json::parse(file);
    for (auto& board : scenario.at("boards")) {
        board["bootMs"] = 20;
    }
    return scenario;
}

class FuzzEngine : public Engine {
public:
    using Engine::Engine;
    using Engine::waitForWorkers;
};

// The service's device side on the default simulated machine, started once:
// the engine monitors every 100 ms and its files stay in a scratch directory.
struct Service {
    std::string const root;
    std::string const files = root + "/files";
    boardsim::BoardSim sim{machineScenario()};
    velt::ZRV480::Bus::Schema const schema{std::string(BM_FIXTURES_DIR) + "/schema.xml"};
    Capture capture;
    std::shared_ptr<FuzzEngine> engine;
    std::shared_ptr<MQTT::Client> client;
    std::shared_ptr<MqttAdaptor> adaptor;

    explicit Service(std::string const& scratchDir) : root(scratchDir) {
        Log::setLevel(Log::Level::Error);
        sim.setRequestLogLimit(1000);
        uint16_t const port = sim.start(0, "127.0.0.1");
        std::filesystem::create_directories(files);
        std::ofstream(files + "/" + LocalFile) << "a file to send";
        std::filesystem::create_directories(root + "/app");
        engine =
            std::make_shared<FuzzEngine>(schema, Engine::Paths{root + "/app", root + "/copies"});
        // Before anything is sent: the bus reaches the simulator only.
        engine->setDeviceConfig(
            {{"socket", {{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 100}}},
             {"timeoutMs", 30},
             {"retransmissions", 1},
             {"statusPeriod", 100}});
        client = std::make_shared<MQTT::Client>(Base, "MQTT", capture);
        adaptor = std::make_shared<MqttAdaptor>(engine, client);
        startEngine();
        // What the client does on its first connection: the tree's topics
        // are registered, then the adaptor hears of the connection.
        client->updateLambdaTreeSubscriptions("", false);
        client->connected.emit();
    }

    void startEngine() {
        std::mutex mutex;
        std::condition_variable started;
        bool boardsUp = false;
        int const id = engine->boardConfigChanged.connect([&] {
            std::lock_guard<std::mutex> lock(mutex);
            boardsUp = true;
            started.notify_all();
        });
        engine->start();
        std::unique_lock<std::mutex> lock(mutex);
        if (!started.wait_for(lock, std::chrono::seconds(30), [&] { return boardsUp; })) {
            std::fprintf(stderr, "MqttTreeFuzz: the engine did not bring the boards up\n");
            std::abort();
        }
        lock.unlock();
        engine->boardConfigChanged.disconnect(id);
    }

    // The payload with a local file member ("local", "firmware") moved into
    // the scratch directory; false when such a member is no plain file name.
    bool confine(std::string& payload) const {
        json request = json::parse(payload, nullptr, false);
        if (!request.is_object()) {
            return true;
        }
        bool moved = false;
        for (char const* member : {"local", "firmware"}) {
            auto const found = request.find(member);
            if (found == request.end()) {
                continue;
            }
            if (!found->is_string()) {
                continue; // refused by the handler before any file is touched
            }
            std::string const name = found->get<std::string>();
            if (!isPlainName(name)) {
                return false;
            }
            *found = files + "/" + name;
            moved = true;
        }
        if (moved) {
            payload = request.dump();
        }
        return true;
    }

    static bool isPlainName(std::string const& name) {
        if (name.empty() || name == "." || name == ".." || name.size() > 64) {
            return false;
        }
        for (char const c : name) {
            bool const plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
            if (!plain) {
                return false;
            }
        }
        return true;
    }
};

// Wildcards and NUL never reach a subscriber, nor does a topic that is not
// UTF-8 (brokers refuse it).
bool deliverable(std::string const& topic) {
    if (topic.find_first_of(std::string("+#\0", 3)) != std::string::npos) {
        return false;
    }
    try {
        json(topic).dump();
    } catch (json::exception const&) {
        return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    // The scratch directory goes at exit; the service is never destroyed, as
    // the engine's and client's threads outlive the run.
    static fuzzsupport::ScratchFile const scratch("files");
    static Service* const service = new Service(scratch.dir());
    std::string const input(reinterpret_cast<char const*>(data), size);
    size_t const newline = input.find('\n');
    std::string const relative = input.substr(0, newline);
    std::string payload = newline == std::string::npos ? "" : input.substr(newline + 1);
    std::string const topic = std::string(Base) + "/" + relative;
    if (!deliverable(topic) || !service->confine(payload)) {
        return -1;
    }
    // Files to fetch, whatever earlier inputs deleted or wrote.
    service->sim.putFile(RemoteFile, {'f', 'e', 't', 'c', 'h'});
    service->client->onMessageReceived(topic, payload, 0, false);
    service->engine->waitForWorkers();
    return 0;
}

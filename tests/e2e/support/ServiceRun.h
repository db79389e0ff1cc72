#pragma once

#include "support/MosquittoBroker.h"
#include "support/Process.h"
#include "support/ScratchDir.h"
#include "support/mqtt/Recorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

constexpr char const* Base = "velt/zrv/boardman";
// Bounds of the waits for the service; generous for sanitizer builds on a
// loaded machine.
constexpr int StartMs = 30000;
constexpr int ReplyMs = 10000;

// Whether the text holds a sanitizer's report (AddressSanitizer, LeakSanitizer,
// ThreadSanitizer, UndefinedBehaviorSanitizer).
bool sanitizerReported(std::string const& text);

// The service in a scratch directory of its own: the executable and the
// fixture schema copied there, its standard error (the log) in "service.log".
class Service {
public:
    explicit Service(std::string directory);
    ~Service();

    std::string path(std::string const& name) const { return directory + "/" + name; }
    void writeConfig(nlohmann::json const& config) const;
    // Runs it with "-e -f zrv480-boardman.json" and the extra arguments.
    void start(std::vector<std::string> const& arguments = {});
    // Runs it the same way with no system logger to reach (a mount namespace
    // of its own, /dev/log not a socket there): the log then falls back to
    // the console, which there is a pipe copied into the file "console.log".
    // False, and nothing started, where no such namespace can be made.
    bool startWithoutSystemLogger(std::vector<std::string> const& arguments = {});
    bool waitLog(std::string const& text, int timeoutMs = StartMs) const;
    std::string log() const;
    // How many connections to the broker have sent their subscriptions in
    // this run so far. Sent, not yet taken by the broker: wait with
    // ServiceRun::awaitServing before a request.
    size_t connections() const;
    void signal(int number) const { process->signal(number); }
    // Sends the signal and waits for the end: the exit status, or nothing.
    // A sanitizer's report in the log of the ended run fails the test.
    std::optional<int> stop(int signal = SIGTERM, int timeoutMs = StartMs);
    bool running() const { return process != nullptr; }
    // The process id while it runs (-1 otherwise).
    pid_t pid() const { return process ? process->pid() : -1; }

private:
    void run(std::vector<std::string> const& argv);

    std::string const directory;
    std::unique_ptr<Process> process;
    std::unique_ptr<Process> consoleReader; // while the console is a pipe
};

// The board-sim executable with its default scenario, which matches the
// fixture schema, and its control port. A sanitizer's report in its log
// fails the test when it goes.
class Simulator {
public:
    explicit Simulator(std::string const& directory);
    ~Simulator();
    uint16_t port() const { return udpPort; }
    // One control request; the simulator's answer.
    nlohmann::json control(nlohmann::json const& request) const;

private:
    std::string const logFile;
    Process process;
    uint16_t udpPort = 0;
    uint16_t controlPort = 0;
};

// A whole machine for one test: broker, simulated boards, the service (not
// started) and a client connected to the broker that records what it gets.
class ServiceRun : public ::testing::Test {
protected:
    void SetUp() override;

    // The example configuration pointed at this run's simulator and broker.
    nlohmann::json exampleConfig() const;
    // Writes the configuration, starts the service and waits until the
    // engine has started and the service answers requests.
    void startWith(nlohmann::json const& config);
    // Whether the service answers requests on its connection number
    // `connection` to the broker (1: the first of the run) within StartMs:
    // that connection sent its subscriptions, and a "status" get sent after
    // them was answered. Wait with this after every start or reconnection,
    // before a request: a request that reaches the broker before the
    // service's subscription to it is lost, and the broker may take the
    // subscriptions well after the service logs them sent.
    bool awaitServing(size_t connection = 1, std::string const& base = Base);
    // A client of its own, connected and subscribed to the filter.
    std::unique_ptr<mqtttest::Recorder> subscriber(std::string const& filter) const;
    // A call below the base topic with the request id: the reply payload
    // ("" on time-out).
    std::string call(std::string const& name, std::string const& payload, std::string const& id);
    // Takes the messages on the topic (below the base topic) until one whose
    // payload is the JSON value; false when none came within timeoutMs.
    bool waitValue(std::string const& relative, nlohmann::json const& value,
                   int timeoutMs = ReplyMs);
    // The same for the first payload that the predicate accepts.
    bool waitMessage(std::string const& relative,
                     std::function<bool(nlohmann::json const&)> const& accept,
                     int timeoutMs = ReplyMs);
    // What the client received and no wait took, for a failure's message.
    std::string untaken() const;
    static std::string topic(std::string const& relative) {
        return std::string(Base) + "/" + relative;
    }

    testsupport::ScratchDir const dir;
    testsupport::MosquittoBroker broker;
    std::unique_ptr<Simulator> simulator;
    std::unique_ptr<Service> service;
    std::unique_ptr<mqtttest::Recorder> client;
};

} // namespace e2e

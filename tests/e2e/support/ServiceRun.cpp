#include "support/ServiceRun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>

namespace e2e {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// A connection's subscriptions are sent, the last of them, once this is
// logged.
constexpr char const* Subscribed = "[MQTT::Client] Subscriptions thread ended!";
// How long a probe waits for its answer before the next is sent: one sent
// before the broker took the subscription is never answered.
constexpr int ProbeRetryMs = 500;
constexpr int PollMs = 20;

} // namespace

bool sanitizerReported(std::string const& text) {
    for (char const* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
        if (text.find(mark) != std::string::npos) {
            return true;
        }
    }
    return false;
}

Service::Service(std::string directoryPath) : directory(std::move(directoryPath)) {
    namespace fs = std::filesystem;
    fs::create_directories(directory);
    // A link, not a symbolic one: the service looks for its schema beside
    // the file it was started as. Copied where a link cannot be made.
    std::error_code linkFailed;
    fs::create_hard_link(BM_SERVICE_EXECUTABLE, path("zrv480-boardman"), linkFailed);
    if (linkFailed) {
        fs::copy_file(BM_SERVICE_EXECUTABLE, path("zrv480-boardman"));
    }
    fs::copy_file(std::string(BM_FIXTURES_DIR) + "/schema.xml", path("schema.xml"));
}

Service::~Service() {
    // A test that failed half-way must not leave a running service behind.
    if (process) {
        stop(SIGKILL, 5000);
    }
}

void Service::writeConfig(json const& config) const {
    std::ofstream(path("zrv480-boardman.json")) << config.dump(4);
}

void Service::start(std::vector<std::string> const& arguments) {
    std::vector<std::string> argv = {path("zrv480-boardman"), "-e", "-f", "zrv480-boardman.json"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    run(argv);
}

bool Service::startWithoutSystemLogger(std::vector<std::string> const& arguments) {
    std::vector<std::string> const unshare = {"/usr/bin/unshare", "--mount", "--propagation",
                                              "private"};
    std::vector<std::string> probe = unshare;
    probe.emplace_back("true");
    if (runCommand(probe, directory, 5000).status != 0) {
        return false;
    }
    // The logger opens the console for each line and writes at its start: a
    // pipe, read into the file, keeps every line. The reader holds the pipe
    // open for writing too, so that it never sees its end between lines.
    std::string const pipe = path("console.fifo");
    unlink(pipe.c_str());
    if (mkfifo(pipe.c_str(), 0600) != 0) {
        return false;
    }
    consoleReader = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c", "exec cat 0<>\"$0\"", pipe}, directory,
        path("console.log"), path("console.err"));
    // unshare and the shell exec what follows: the process is the service.
    std::vector<std::string> argv = unshare;
    argv.insert(argv.end(), {"sh", "-c",
                             "mount --bind \"$0\" /dev/console && "
                             "{ [ ! -e /dev/log ] || mount --bind /dev/null /dev/log; } && "
                             "exec \"$@\"",
                             pipe, path("zrv480-boardman"), "-e", "-f", "zrv480-boardman.json"});
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    run(argv);
    return true;
}

void Service::run(std::vector<std::string> const& argv) {
    // The log of an earlier run must not answer the waits of this one.
    unlink(path("service.log").c_str());
    process = std::make_unique<Process>(argv, directory, path("service.out"), path("service.log"));
}

bool Service::waitLog(std::string const& text, int timeoutMs) const {
    return waitForText(path("service.log"), text, timeoutMs);
}

std::string Service::log() const {
    return readFile(path("service.log"));
}

size_t Service::connections() const {
    return occurrences(log(), Subscribed);
}

std::optional<int> Service::stop(int signal, int timeoutMs) {
    if (!process) {
        return std::nullopt;
    }
    process->signal(signal);
    std::optional<int> const status = process->wait(timeoutMs);
    if (status) {
        process.reset();
        std::string const text = log();
        EXPECT_FALSE(sanitizerReported(text)) << text;
    }
    return status;
}

Simulator::Simulator(std::string const& directory)
    : logFile(directory + "/board-sim.log"),
      process({BM_SIMULATOR_EXECUTABLE, "--bind", "127.0.0.1"}, directory,
              directory + "/board-sim.out", logFile) {
    std::string const output = directory + "/board-sim.out";
    if (!waitForText(output, "\n", StartMs)) {
        throw std::runtime_error("board-sim did not start: " + readFile(logFile));
    }
    std::smatch ports;
    std::string const line = readFile(output);
    if (!std::regex_search(line, ports, std::regex("LISTENING udp=(\\d+) control=(\\d+)"))) {
        throw std::runtime_error("board-sim said: " + line);
    }
    udpPort = static_cast<uint16_t>(std::stoi(ports[1]));
    controlPort = static_cast<uint16_t>(std::stoi(ports[2]));
}

Simulator::~Simulator() {
    std::string const text = readFile(logFile);
    EXPECT_FALSE(sanitizerReported(text)) << text;
}

json Simulator::control(json const& request) const {
    int const fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(controlPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval const limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof(address)) == 0) {
        std::string const line = request.dump() + "\n";
        if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            char c = 0;
            while (read(fd, &c, 1) == 1 && c != '\n') {
                answer += c;
            }
        }
    }
    close(fd);
    return json::parse(answer, nullptr, false);
}

void ServiceRun::SetUp() {
    ASSERT_TRUE(broker.start()) << broker.logText();
    simulator = std::make_unique<Simulator>(dir.path());
    service = std::make_unique<Service>(dir.path("service"));
    client = subscriber(std::string(Base) + "/#");
}

json ServiceRun::exampleConfig() const {
    std::ifstream example(std::string(BM_EXAMPLES_DIR) + "/zrv480-boardman.json");
    json config = json::parse(example);
    config["device"]["socket"]["port"] = simulator->port();
    config["mqtt"]["url"] = broker.url();
    return config;
}

void ServiceRun::startWith(json const& config) {
    // Every run talks to the simulator on loopback, never to a real machine.
    ASSERT_EQ(config["device"]["socket"]["address"], "127.0.0.1");
    service->writeConfig(config);
    service->start();
    ASSERT_TRUE(service->waitLog("[Engine] Started!")) << service->log();
    ASSERT_TRUE(awaitServing()) << service->log();
}

bool ServiceRun::awaitServing(size_t connection, std::string const& base) {
    auto const deadline = Clock::now() + std::chrono::milliseconds(StartMs);
    while (service->connections() < connection) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
    }
    // The service sends its answer on the same connection as, and after,
    // every subscription: the broker takes them in order, so an answer
    // means that all of them are in place, not only the one to "status".
    mqtttest::Recorder probe(broker.url());
    if (!probe.connect() || !probe.subscribe(base + "/status/get/response/+")) {
        return false;
    }
    for (int attempt = 0; Clock::now() < deadline; ++attempt) {
        probe.publish(base + "/status/get/request/serving-" + std::to_string(attempt), "");
        auto const retry =
            std::min(deadline, Clock::now() + std::chrono::milliseconds(ProbeRetryMs));
        while (Clock::now() < retry) {
            if (!probe.pending().empty()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
        }
    }
    return false;
}

std::unique_ptr<mqtttest::Recorder> ServiceRun::subscriber(std::string const& filter) const {
    auto recorder = std::make_unique<mqtttest::Recorder>(broker.url());
    EXPECT_TRUE(recorder->connect());
    EXPECT_TRUE(recorder->subscribe(filter));
    return recorder;
}

std::string ServiceRun::call(std::string const& name, std::string const& payload,
                             std::string const& id) {
    client->publish(topic(name + "/request/" + id), payload);
    return client->takePayload(topic(name + "/response/" + id), ReplyMs);
}

bool ServiceRun::waitValue(std::string const& relative, json const& value, int timeoutMs) {
    return waitMessage(
        relative, [&value](json const& payload) { return payload == value; }, timeoutMs);
}

std::string ServiceRun::untaken() const {
    std::string all;
    for (auto const& message : client->pending()) {
        all += message.topic + " " + message.payload + "\n";
    }
    return all;
}

bool ServiceRun::waitMessage(std::string const& relative,
                             std::function<bool(json const&)> const& accept, int timeoutMs) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    mqtttest::Received message;
    while (std::chrono::steady_clock::now() < deadline) {
        int const left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              deadline - std::chrono::steady_clock::now())
                                              .count());
        if (client->take(topic(relative), message, std::max(left, 1)) &&
            accept(json::parse(message.payload, nullptr, false))) {
            return true;
        }
    }
    return false;
}

} // namespace e2e

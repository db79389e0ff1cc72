// Round trip of one command-layer transaction, next to the round trip of a
// bare blocking UDP request and reply between two threads on loopback. The
// transaction runs against the in-process board simulator and against a
// minimal responder (a thread that answers every request with a well-formed
// reply and does nothing else), so that the command layer's own cost stands
// apart from the simulator's. The ratios of the medians are printed at the end.

#include "BoardSim.h"
#include "bus/Packet.h"
#include "bus/Parser.h"
#include "foundation/Log.h"

#include "MedianReporter.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

namespace {

using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Parser;
using velt::ZRV480::Bus::Common::ErrorCode;
using namespace std::chrono_literals;

constexpr int Repetitions = 9;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A thread that answers every datagram on a loopback port: with its own bytes,
// or, as a minimal board, with the reply a heartbeat request expects.
class Echo {
public:
    enum class Answer { Same, HeartbeatReply };

    explicit Echo(Answer mode = Answer::Same) : answer(mode) {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof(address);
        timeval timeout{0, 10000}; // lets the thread see the stop flag
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~Echo() {
        running = false;
        thread.join();
        ::close(fd);
    }

    uint16_t port = 0;

private:
    void run() {
        uint8_t buffer[512];
        while (running) {
            sockaddr_in from{};
            socklen_t size = sizeof(from);
            ssize_t const n = ::recvfrom(fd, buffer, sizeof(buffer), 0,
                                         reinterpret_cast<sockaddr*>(&from), &size);
            if (n < 4) {
                continue;
            }
            size_t length = size_t(n);
            if (answer == Answer::HeartbeatReply) {
                buffer[0] = Packet::AddressHost;               // sequence, command and slot stay
                std::fill(buffer + 4, buffer + 8, uint8_t{0}); // the uptime
                length = 8;
            }
            ::sendto(fd, buffer, length, 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    }

    Answer answer;
    int fd = -1;
    std::atomic<bool> running{true};
    std::thread thread;
};

void RawUdpRoundTrip(benchmark::State& state) {
    Echo echo;
    int const fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in const peer = loopback(echo.port);
    uint8_t const request[4] = {0, 0, 0x7F, 0};
    uint8_t reply[512];
    for (auto _ : state) {
        ::sendto(fd, request, sizeof(request), 0, reinterpret_cast<sockaddr const*>(&peer),
                 sizeof(peer));
        if (::recvfrom(fd, reply, sizeof(reply), 0, nullptr, nullptr) < 0) {
            state.SkipWithError("the echo did not answer");
            break;
        }
    }
    ::close(fd);
}

// Transactions with the main board through a parser whose gateway is `port`;
// `transaction` runs one and returns its result.
template <typename Transaction>
void transactions(benchmark::State& state, uint16_t port, Transaction transaction) {
    Parser parser({{0, "main"}});
    parser.socketConfigSet({{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 100}});
    parser.configSet({1000, 0});
    parser.start();
    // The bus comes online with a first heartbeat, as in service.
    uint32_t uptime = 0;
    parser.heartbeat(0, uptime);
    for (auto _ : state) {
        if (transaction(parser) != ErrorCode::Success) {
            state.SkipWithError("the board did not answer");
            break;
        }
    }
    parser.stop();
}

// The bare transaction: a heartbeat frame through Parser::send.
void heartbeats(benchmark::State& state, uint16_t port) {
    Packet const heartbeat(0, Packet::Command::Heartbeat, 0, {});
    Packet reply;
    transactions(state, port,
                 [&](Parser& parser) { return parser.send(heartbeat, reply, false, 0ms); });
}

void ParserHeartbeat(benchmark::State& state) {
    boardsim::BoardSim sim;
    heartbeats(state, sim.start(0, "127.0.0.1"));
    sim.stop();
}

void ParserMinimalResponder(benchmark::State& state) {
    Echo board(Echo::Answer::HeartbeatReply);
    heartbeats(state, board.port);
}

// A whole command as the monitoring issues it: a telemetry value read, with
// its request built, its trace and its reply decoded.
void ParserCommandMinimalResponder(benchmark::State& state) {
    Echo board(Echo::Answer::HeartbeatReply);
    transactions(state, board.port, [](Parser& parser) {
        int32_t value = 0;
        return parser.int32Get(Packet(0, Packet::Command::Telemetry, 1, {}), value);
    });
}

BENCHMARK(RawUdpRoundTrip)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);
BENCHMARK(ParserHeartbeat)->UseRealTime()->Repetitions(Repetitions)->ReportAggregatesOnly(true);
BENCHMARK(ParserMinimalResponder)
    ->UseRealTime()
    ->Repetitions(Repetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(ParserCommandMinimalResponder)
    ->UseRealTime()
    ->Repetitions(Repetitions)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    // Per-request traces would measure the system logger, not the bus.
    Log::setLevel(Log::Level::Warning);
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (char const* name :
         {"ParserHeartbeat", "ParserMinimalResponder", "ParserCommandMinimalResponder"}) {
        double const ratio = reporter.ratio(name, "RawUdpRoundTrip");
        if (ratio > 0) {
            std::printf("%s / RawUdpRoundTrip (medians): %.2f\n", name, ratio);
        }
    }
    benchmark::Shutdown();
    return 0;
}

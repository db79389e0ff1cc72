// The floor of a stretch of bus traffic: requests recorded by the board
// simulator, sent again one after another straight through the command layer
// to the same simulator, with nothing else in between. measure-service
// replays the service's board initialisation this way; the initialisation's
// own time over the replay's is what the engine adds to the round trips.
//
//     BM_SIM_PORT=<simulator udp port> ReplayBench <file of requests>
//
// The file holds one request a line, the simulator's hex form of it
// ("addr seq cmd slot payload..."). Prints "replay_ms=<median of the runs>".

#include "bus/Packet.h"
#include "bus/Parser.h"
#include "foundation/Log.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Parser;
using velt::ZRV480::Bus::Common::ErrorCode;
using namespace std::chrono_literals;

constexpr int Runs = 5;
// Long enough for a loaded machine; a request of the recording is never lost.
constexpr auto ReplyWait = 500ms;

std::vector<Packet> readRequests(char const* path) {
    std::vector<Packet> requests;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::vector<uint8_t> bytes;
        unsigned value = 0;
        while (words >> std::hex >> value) {
            bytes.push_back(static_cast<uint8_t>(value));
        }
        if (bytes.size() >= 4) {
            requests.emplace_back(bytes[0], static_cast<Packet::Command>(bytes[2]), bytes[3],
                                  std::vector<uint8_t>(bytes.begin() + 4, bytes.end()));
        }
    }
    return requests;
}

} // namespace

int main(int argc, char** argv) {
    char const* port = std::getenv("BM_SIM_PORT");
    if (argc != 2 || port == nullptr) {
        std::fprintf(stderr, "usage: BM_SIM_PORT=<port> ReplayBench <file of requests>\n");
        return 2;
    }
    Log::setLevel(Log::Level::Warning);
    std::vector<Packet> const requests = readRequests(argv[1]);
    std::map<uint8_t, std::string> names;
    for (Packet const& request : requests) {
        names[request.getAddress()] = "board" + std::to_string(request.getAddress());
    }
    Parser parser(names);
    parser.socketConfigSet(nlohmann::json{{"address", "127.0.0.1"}, {"port", std::atoi(port)}});
    parser.start();

    std::vector<double> runs;
    size_t failed = 0;
    Packet reply;
    for (int run = 0; run < Runs; ++run) {
        auto const begin = std::chrono::steady_clock::now();
        for (Packet const& request : requests) {
            if (parser.send(request, reply, false, ReplyWait) != ErrorCode::Success) {
                ++failed;
            }
        }
        runs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                .count());
    }
    parser.stop();
    std::sort(runs.begin(), runs.end());
    std::printf("requests=%zu failed=%zu replay_ms=%.2f\n", requests.size(), failed,
                runs[runs.size() / 2]);
    return 0;
}

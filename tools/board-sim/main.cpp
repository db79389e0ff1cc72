// board-sim: the simulated boards on a loopback UDP port, with a JSON-lines
// control port, for the service's end-to-end tests and the demo.

#include "BindAddress.h"
#include "BoardSim.h"
#include "ControlCommands.h"
#include "ControlServer.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

void usage() {
    std::cerr
        << "usage: board-sim [--scenario FILE] [--port N] [--control-port N] [--bind 127.0.0.1]\n"
           "  --port and --control-port 0 (the default) take an ephemeral port.\n";
}

bool portArgument(char const* text, uint16_t& port) {
    char* end = nullptr;
    errno = 0;
    long const v = std::strtol(text, &end, 10);
    if (errno || *end || end == text || v < 0 || v > 65535) {
        return false;
    }
    port = uint16_t(v);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string scenarioPath = boardsim::Scenario::defaultPath();
    std::string bind = "127.0.0.1";
    uint16_t port = 0;
    uint16_t controlPort = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool const hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (!hasValue) {
            std::cerr << "board-sim: " << arg << ": missing value or unknown option\n";
            usage();
            return 2;
        }
        char const* value = argv[++i];
        if (arg == "--scenario") {
            scenarioPath = value;
        } else if (arg == "--bind") {
            bind = value;
        } else if ((arg == "--port" && portArgument(value, port)) ||
                   (arg == "--control-port" && portArgument(value, controlPort))) {
            continue;
        } else {
            std::cerr << "board-sim: invalid option " << arg << " " << value << "\n";
            usage();
            return 2;
        }
    }

    // Signals are taken by sigwait below, never by the simulator's threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        boardsim::BindAddress::require(bind);
        auto const scenario = boardsim::Scenario::fromFile(scenarioPath);
        boardsim::BoardSim sim(scenario);
        // The demo runs for hours against a polling service: bound the request log.
        sim.setRequestLogLimit(100000);
        boardsim::ControlCommands commands(sim);
        // A board's text in an answer need not be valid UTF-8.
        boardsim::ControlServer control([&commands](std::string const& line) {
            return commands.handleLine(line).dump(-1, ' ', false,
                                                  nlohmann::json::error_handler_t::replace);
        });
        const uint16_t udp = sim.start(port, bind);
        const uint16_t tcp = control.start(bind, controlPort);
        std::cout << "LISTENING udp=" << udp << " control=" << tcp << std::endl;

        int signal = 0;
        sigwait(&signals, &signal);
        std::cerr << "board-sim: " << strsignal(signal) << ", stopping\n";
        control.stop();
        sim.stop();
    } catch (std::exception const& e) {
        std::cerr << "board-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

#pragma once

#include "BoardSim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A loopback UDP socket that talks to a simulator the way the service's transport does.
class SimClient {
public:
    explicit SimClient(uint16_t simPort);
    ~SimClient();
    SimClient(SimClient const&) = delete;
    SimClient& operator=(SimClient const&) = delete;

    void send(boardsim::Bytes const& datagram);
    // The next datagram, or nothing after timeoutMs.
    std::optional<boardsim::Bytes> receive(int timeoutMs = 1000);
    // Sends and waits for the answer.
    std::optional<boardsim::Bytes> exchange(boardsim::Bytes const& datagram, int timeoutMs = 1000);
    uint16_t localPort() const { return ownPort; }

private:
    int fd = -1;
    uint16_t port;
    uint16_t ownPort = 0;
};

// A simulator started on an ephemeral port with a client connected to it.
struct SimFixture {
    explicit SimFixture(boardsim::Scenario const& scenario = boardsim::Scenario::defaults())
        : sim(scenario), client(sim.start()) {}
    boardsim::BoardSim sim;
    SimClient client;
};

// A request datagram: address, sequence, command, slot, payload.
inline boardsim::Bytes request(uint8_t address, uint8_t sequence, uint8_t command, uint8_t slot,
                               boardsim::Bytes const& payload = {}) {
    boardsim::Bytes out{address, sequence, command, slot};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// The bytes of a text, without terminator.
inline boardsim::Bytes text(std::string const& s) {
    return boardsim::Bytes(s.begin(), s.end());
}

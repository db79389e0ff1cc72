#pragma once

#include "BoardSim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A loopback UDP socket that talks to a simulator the way the service's transport does.
class SimClient {
public:
    explicit SimClient(uint16_t port);
    ~SimClient();
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    void send(const boardsim::Bytes& datagram);
    // The next datagram, or nothing after timeoutMs.
    std::optional<boardsim::Bytes> receive(int timeoutMs = 1000);
    // Sends and waits for the answer.
    std::optional<boardsim::Bytes> exchange(const boardsim::Bytes& datagram, int timeoutMs = 1000);
    uint16_t localPort() const { return localPort_; }

private:
    int fd_ = -1;
    uint16_t port_;
    uint16_t localPort_ = 0;
};

// A simulator started on an ephemeral port with a client connected to it.
struct SimFixture {
    explicit SimFixture(const boardsim::Scenario& scenario = boardsim::Scenario::defaults())
        : sim(scenario), client(sim.start()) {}
    boardsim::BoardSim sim;
    SimClient client;
};

// A request datagram: address, sequence, command, slot, payload.
inline boardsim::Bytes request(uint8_t address, uint8_t sequence, uint8_t command, uint8_t slot,
                               const boardsim::Bytes& payload = {}) {
    boardsim::Bytes out{address, sequence, command, slot};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// The bytes of a text, without terminator.
inline boardsim::Bytes text(const std::string& s) {
    return boardsim::Bytes(s.begin(), s.end());
}

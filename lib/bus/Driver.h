#pragma once

#include "bus/Config.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"

#include <netinet/in.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace velt::ZRV480::Bus {

// The UDP transport to the bus gateway: one socket, never bound, that sends
// every datagram to the configured gateway, and a listener thread that hands
// every received datagram to `dataReceived`.
class Driver : public Logger {
public:
    // Emitted on the listener thread with the bytes of every datagram.
    Signal<std::vector<uint8_t> const&> dataReceived;

    Driver();
    ~Driver() override;

    Driver(Driver const&) = delete;
    Driver& operator=(Driver const&) = delete;

    // Opens a new socket and starts the listener; nothing when running.
    // Throws std::runtime_error when the socket cannot be made.
    void start();
    // Stops and joins the listener; never call it from a slot of dataReceived.
    void stop();
    void restart();

    nlohmann::json getConfig() const;
    // Merges `settings` into the current ones and restarts the transport.
    // A part that cannot make a working socket throws std::invalid_argument
    // and changes nothing.
    void setConfig(nlohmann::json const& settings);

    void transmit(std::vector<uint8_t> const& bytes);

private:
    void listen(int fd, uint64_t generation);

    // Serialises start, stop and setConfig with each other; the listener
    // never takes it, so holding it across the join cannot deadlock.
    std::mutex lifecycleMutex;

    // The listener runs while `running` is set and `generation` still is the
    // one it was started with, so a quick stop and start never revives an old
    // listener.
    std::atomic<bool> running{false};
    std::atomic<uint64_t> generation{0};

    // Guarded by socketMutex: the socket and where it sends to, replaced by
    // start and stop while other threads transmit.
    mutable std::mutex socketMutex;
    int socket = -1;
    sockaddr_in destination{};

    Config config;        // guarded by socketMutex
    std::thread listener; // guarded by lifecycleMutex
};

} // namespace velt::ZRV480::Bus

#pragma once

#include "bus/Config.h"
#include "foundation/LogThrottle.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"

#include <netinet/in.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velt::ZRV480::Bus {

// The UDP transport to the bus gateway: one socket, never bound, that sends
// every datagram to the configured gateway (never to whoever sent the last
// datagram), and a listener thread that hands every datagram from the
// gateway's address and port to `dataReceived`. The socket is connected to
// the gateway, so the kernel drops other senders' datagrams; where it cannot
// connect (no route yet), the listener drops them itself.
//
// A receive error that only reports the gateway unreachable (an ICMP error
// such as a closed port) is no fault of the socket: the listener goes on
// with it. Any other receive error than a time-out is logged; the listener
// then goes on with a new socket. When no new socket can be made, or the new one fails at
// once as well, the transport stops (it is no longer running) and the next
// start opens it anew.
class Driver : public Logger {
public:
    // Emitted on the listener thread with the bytes of every datagram from
    // the gateway.
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
    // False once stopped, also when the transport stopped itself.
    bool isRunning() const { return running; }

    nlohmann::json getConfig() const;
    // Merges a "socket" part into the settings and restarts the transport.
    // A part that cannot make a working socket throws std::invalid_argument
    // and leaves the settings and the socket as they were.
    void setConfig(nlohmann::json const& settings);

    void transmit(std::vector<uint8_t> const& bytes);
    // The same, logging `logText` in place of the bytes.
    void transmit(std::vector<uint8_t> const& bytes, std::string const& logText);

private:
    void startLocked();
    void stopLocked();
    // A socket with the time-outs of `config`, connected to `destination`
    // where it can be; throws std::runtime_error. Called with socketMutex held.
    int openSocketLocked() const;
    // The sender whose datagrams `fd` takes: its peer, or the gateway when
    // it could not be connected.
    sockaddr_in senderOf(int fd) const;
    void listen(int fd);
    // After a receive error on `fd`: closes it and puts a new socket in its
    // place, unless `failedAgain` (`fd` itself was such a new socket) or no
    // socket can be made; then the transport stops. Returns the new socket,
    // or -1 when the listener is to end (also when a stop took `fd`).
    int replaceSocket(int fd, bool failedAgain);

    // Serialises start, stop and setConfig with each other. It is held across
    // the listener's join: the listener never takes it, so that cannot block.
    std::mutex lifecycleMutex;

    // The listener loops while it is set; cleared by stop, and by the
    // listener itself when it ends on a receive error.
    std::atomic<bool> running{false};
    std::thread listener; // guarded by lifecycleMutex

    // Guarded by socketMutex: replaced by start, stop and the listener (after
    // a receive error) while other threads transmit. Whoever takes a socket
    // out of `socket` closes it.
    mutable std::mutex socketMutex;
    int socket = -1;
    sockaddr_in destination{};
    Config config;

    // A slot that throws on every datagram of a flood must not flood the log.
    LogThrottle failedCallbackLines;
};

} // namespace velt::ZRV480::Bus

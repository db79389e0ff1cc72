#pragma once

#include "FaultRule.h"
#include "Mutex.h"
#include "ThreadSafety.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace boardsim {

// Where a datagram came from, in network byte order.
struct Peer {
    uint32_t address = 0;
    uint16_t port = 0;
};

// A UDP socket on 127.0.0.1 with one receive thread.
class UdpServer {
public:
    using Handler = std::function<void(Bytes const& datagram, Peer const& from)>;

    explicit UdpServer(Handler datagramHandler);
    ~UdpServer();
    UdpServer(UdpServer const&) = delete;
    UdpServer& operator=(UdpServer const&) = delete;

    // Returns the bound port; throws std::invalid_argument for a non-loopback
    // address and std::system_error when the socket cannot be bound.
    uint16_t start(std::string const& address, uint16_t port);
    void stop(); // joins the receive thread
    void send(Bytes const& datagram, Peer const& to) const;
    uint16_t port() const { return boundPort; }

private:
    void receiveLoop(int socketFd);

    const Handler handler;
    // Held across a send and across the close, so a reply from the timer
    // thread never reaches a descriptor that stop() closed (and the system
    // may already have handed out again).
    mutable Mutex sendMutex;
    int fd SIM_GUARDED_BY(sendMutex) = -1; // the receive loop has its own copy
    int wakeFd = -1;                       // eventfd that ends the receive loop
    std::atomic<uint16_t> boundPort{0};
    std::thread thread; // touched only by start() and stop() of the owner
};

} // namespace boardsim

#pragma once

#include "bus/Config.h"
#include "foundation/CheckedMutex.h"
#include "foundation/LogThrottle.h"
#include "foundation/Logger.h"
#include "foundation/Signal.h"
#include "foundation/ThreadSafety.h"

#include <netinet/in.h>
#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace velt::ZRV480::Bus {

// The UDP transport to the bus gateway: one socket, never bound, that sends
// every datagram to the configured gateway (never to whoever sent the last
// datagram), and hands every datagram from the gateway's address and port to
// `dataReceived`. One thread reads the socket at a time: a caller that waits
// for a reply reads it itself through a Reader, so that the reply reaches it
// without a hand-off between threads; the listener thread reads whatever
// arrives while no Reader exists. The socket is connected to
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
    // Emitted with the bytes of every datagram from the gateway, on the
    // thread that read it: the listener, or the holder of a Reader.
    Signal<std::vector<uint8_t> const&> dataReceived;

    enum class Reception {
        Datagram, // one datagram was handed to dataReceived
        Deadline, // none came in time
        Closed,   // the socket went away: a stop, a restart or a receive failure
    };

    // While it lives, its thread is the only reader of the socket and the
    // listener reads nothing; make it before transmitting a request, so that
    // its reply cannot reach the listener. One at a time per thread; never
    // stop the driver while holding one. It holds driver.receiveMutex for its
    // life.
    class SCOPED_CAPABILITY Reader {
    public:
        explicit Reader(Driver& owner) ACQUIRE(owner.receiveMutex);
        ~Reader() RELEASE();
        Reader(Reader const&) = delete;
        Reader& operator=(Reader const&) = delete;

        // Waits until `deadline` for the gateway's next datagram and hands it
        // to dataReceived. A deadline that has passed still takes a datagram
        // that is there already.
        Reception next(std::chrono::steady_clock::time_point deadline);

    private:
        // The constructor's work, where the thread-safety analysis checks it
        // (it checks no constructor).
        void enter() ACQUIRE(driver.receiveMutex);

        Driver& driver;
        bool attached;                     // a socket was there to read
        std::chrono::microseconds timeout; // the socket's receive time-out
    };

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
    void startLocked() REQUIRES(lifecycleMutex);
    void stopLocked() REQUIRES(lifecycleMutex);
    // A socket with the time-outs of `config`, connected to `destination`
    // where it can be, and notes its receive time-out; throws
    // std::runtime_error. Called with socketMutex held.
    int openSocketLocked() REQUIRES(socketMutex);
    // The sender whose datagrams `fd` takes: its peer, or the gateway when
    // it could not be connected. Called with socketMutex held.
    sockaddr_in senderOf(int fd) const REQUIRES(socketMutex);
    void listen();
    // Waits one tick of the listener while Readers use the socket, or until a stop.
    void park(std::chrono::microseconds tick);
    // One wait of the listener for a datagram or a Reader's arrival, at most
    // `tick`; with receiveMutex held.
    void listenOnce(std::chrono::microseconds tick) REQUIRES(receiveMutex);
    // Makes the current socket the one the reader reads; false when there is
    // none. With receiveMutex held.
    bool attach() REQUIRES(receiveMutex);
    // Receives one datagram from `readerSocket` and hands it on; Deadline when
    // none came (a time-out, or nothing there with MSG_DONTWAIT). With
    // receiveMutex held.
    Reception receiveOne(int flags) REQUIRES(receiveMutex);
    // After a receive error on `fd`: closes it and puts a new socket in its
    // place, unless `failedAgain` (`fd` itself was such a new socket) or no
    // socket can be made; then the transport stops. Returns the new socket,
    // or -1 when the reader is to end (also when a stop took `fd`).
    int replaceSocket(int fd, bool failedAgain);

    // Serialises start, stop and setConfig with each other. It is held across
    // the listener's join: the listener never takes it, so that cannot block.
    // Lock order: lifecycleMutex, then receiveMutex (taken by stop after the
    // join), then socketMutex; parkMutex is a leaf.
    CheckedMutex lifecycleMutex;

    // The listener loops while it is set; cleared by stop, and by the
    // listener itself when it ends on a receive error.
    std::atomic<bool> running{false};
    std::thread listener GUARDED_BY(lifecycleMutex);

    // Guarded by socketMutex: replaced by start, stop and the listener (after
    // a receive error) while other threads transmit. Whoever takes a socket
    // out of `socket` closes it.
    mutable CheckedMutex socketMutex;
    int socket GUARDED_BY(socketMutex) = -1;
    // Grows whenever `socket` is replaced.
    uint64_t generation GUARDED_BY(socketMutex) = 0;
    sockaddr_in destination GUARDED_BY(socketMutex){};
    Config config GUARDED_BY(socketMutex);
    // The receive time-out of `socket`, 0 for none.
    std::chrono::microseconds receiveTimeout GUARDED_BY(socketMutex){0};

    // Held by whoever reads the socket: the listener for one wait, or a Reader
    // for its life. The fields below it are the reader's.
    CheckedMutex receiveMutex;
    int readerSocket GUARDED_BY(receiveMutex) = -1;
    uint64_t readerGeneration GUARDED_BY(receiveMutex) = 0; // of readerSocket
    // Whose datagrams readerSocket takes.
    sockaddr_in gateway GUARDED_BY(receiveMutex){};
    // Set while readerSocket replaced a failed one and has neither received
    // nor timed out yet: failing at once too, the fault is not the socket's,
    // and replacing it again would only repeat the error.
    bool replaced GUARDED_BY(receiveMutex) = false;
    // Fits the longest datagram the bus produces; longer ones are cut.
    std::array<uint8_t, 512> buffer GUARDED_BY(receiveMutex){};
    // What dataReceived carries.
    std::vector<uint8_t> datagram GUARDED_BY(receiveMutex);

    // Readers that exist or wait for receiveMutex; the listener keeps off the
    // socket while there are any. Atomic: read by the listener without a lock.
    std::atomic<int> readers{0};
    // Set by the listener while it waits on the socket, so that a new Reader
    // wakes it through `wakeFd` instead of waiting out its tick. Atomic.
    std::atomic<bool> listenerWaiting{false};
    int const wakeFd; // an eventfd; fixed for the driver's life
    // The listener sleeps on `parked` while Readers use the socket; a stop
    // wakes it. parkMutex guards nothing but the wait.
    CheckedMutex parkMutex;
    std::condition_variable parked;

    // A slot that throws on every datagram of a flood must not flood the log.
    LogThrottle failedCallbackLines;
};

} // namespace velt::ZRV480::Bus

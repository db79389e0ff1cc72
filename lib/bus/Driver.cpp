#include "bus/Driver.h"

#include "bus/Helpers.h"
#include "foundation/CheckedLock.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velt::ZRV480::Bus {

using Common::Helpers;

namespace {

using Clock = std::chrono::steady_clock;

// How often the listener looks again whether Readers still use the socket,
// when the socket has no receive time-out to take instead.
constexpr std::chrono::microseconds DefaultTick{10000};

// A connected socket reports the ICMP error that a datagram to the gateway
// drew (its port closed, no route to it) on the next receive: the gateway
// is unreachable, the socket itself is sound.
bool isUnreachable(int error) {
    switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case ENOPROTOOPT:
    case EPROTO:
    case EMSGSIZE:
        return true;
    default:
        return false;
    }
}

bool isSameSender(sockaddr_in const& a, sockaddr_in const& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

timespec toTimespec(std::chrono::nanoseconds span) {
    auto const seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

// Waits at most `span` for `fd` to become readable (or failed); true when it is.
bool awaitReadable(int fd, std::chrono::nanoseconds span) {
    pollfd watched{fd, POLLIN, 0};
    timespec const timeout = toTimespec(span);
    return ::ppoll(&watched, 1, &timeout, nullptr) > 0;
}

int makeEventFd() {
    int const fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("failed to make the listener's wake-up");
    }
    return fd;
}

} // namespace

Driver::Driver() : Logger("Driver"), wakeFd(makeEventFd()) {
    datagram.reserve(buffer.size());
}

Driver::~Driver() {
    stop();
    ::close(wakeFd);
}

Driver::Reader::Reader(Driver& owner) : driver(owner) {
    enter();
}

void Driver::Reader::enter() {
    // Seen by a listener about to wait on the socket, or it is seen waiting
    // here and woken: it never waits on the socket past this point.
    ++driver.readers;
    if (driver.listenerWaiting) {
        uint64_t const one = 1;
        ssize_t const written = ::write(driver.wakeFd, &one, sizeof(one));
        (void)written; // a counter already up wakes it as well
    }
    driver.receiveMutex.lock();
    attached = driver.attach();
    CheckedLock lock(driver.socketMutex);
    timeout = driver.receiveTimeout;
}

Driver::Reader::~Reader() {
    driver.receiveMutex.unlock();
    --driver.readers;
}

Driver::Reception Driver::Reader::next(Clock::time_point deadline) {
    // Held since the constructor: the analysis sees no lock across calls.
    driver.receiveMutex.assertHeld();
    while (attached) {
        auto const left = deadline - Clock::now();
        Reception reception = Reception::Deadline;
        if (left <= Clock::duration::zero()) {
            return driver.receiveOne(MSG_DONTWAIT);
        }
        if (timeout.count() > 0 && left >= timeout) {
            // A plain receive, which the socket's time-out bounds: one system call.
            reception = driver.receiveOne(0);
        } else if (awaitReadable(driver.readerSocket, left)) {
            reception = driver.receiveOne(MSG_DONTWAIT);
        } else {
            return Reception::Deadline;
        }
        if (reception != Reception::Deadline) {
            return reception;
        }
    }
    return Reception::Closed;
}

void Driver::start() {
    CheckedLock lifecycle(lifecycleMutex);
    startLocked();
}

void Driver::stop() {
    CheckedLock lifecycle(lifecycleMutex);
    stopLocked();
}

void Driver::restart() {
    CheckedLock lifecycle(lifecycleMutex);
    stopLocked();
    startLocked();
}

nlohmann::json Driver::getConfig() const {
    CheckedLock lock(socketMutex);
    return config.toJson();
}

void Driver::setConfig(nlohmann::json const& settings) {
    Config::validate(settings);
    CheckedLock lifecycle(lifecycleMutex);
    {
        CheckedLock lock(socketMutex);
        config.fromJson(settings);
    }
    stopLocked();
    startLocked();
}

void Driver::transmit(std::vector<uint8_t> const& bytes) {
    transmit(bytes, Log::isEnabled(Log::Level::Debug) ? Helpers::hexStr(bytes, true) : "");
}

void Driver::transmit(std::vector<uint8_t> const& bytes, std::string const& logText) {
    {
        CheckedLock lock(socketMutex);
        // A failed send is not reported: it shows up as a missing reply.
        ::sendto(socket, bytes.data(), bytes.size(), MSG_CONFIRM,
                 reinterpret_cast<sockaddr const*>(&destination), sizeof(destination));
    }
    log(Log::Level::Debug, "Transmitted: [%s]", logText.c_str());
}

void Driver::startLocked() {
    if (running) {
        return;
    }
    if (listener.joinable()) {
        // A listener that ended on a receive error.
        listener.join();
    }
    CheckedLock lock(socketMutex);
    destination = sockaddr_in{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(config.getUdpPort()));
    destination.sin_addr.s_addr = inet_addr(config.getUdpAddress().c_str());
    socket = openSocketLocked();
    ++generation;
    running = true;
    listener = std::thread(&Driver::listen, this);
}

void Driver::stopLocked() {
    running = false;
    int fd;
    {
        CheckedLock lock(socketMutex);
        fd = socket;
        socket = -1;
    }
    if (fd >= 0) {
        // Wakes a receive in progress at once, whatever the socket time-out.
        ::shutdown(fd, SHUT_RDWR);
    }
    { CheckedLock lock(parkMutex); }
    parked.notify_all();
    if (listener.joinable()) {
        listener.join();
    }
    if (fd >= 0) {
        // A Reader on `fd` sees the shutdown at once and lets go of it.
        CheckedLock reading(receiveMutex);
        ::close(fd);
    }
}

int Driver::openSocketLocked() {
    int const fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        throw std::runtime_error("failed to acquire socket");
    }
    // "timeoutMs" counts units of 100 microseconds.
    timeval timeout{};
    timeout.tv_usec = static_cast<suseconds_t>(config.getTimeoutMs() * 100);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
        ::close(fd);
        throw std::runtime_error("failed to setsockopt");
    }
    receiveTimeout = std::chrono::microseconds(timeout.tv_usec);
    if (::connect(fd, reinterpret_cast<sockaddr const*>(&destination), sizeof(destination)) != 0) {
        int const error = errno;
        log(Log::Level::Warning, "Could not connect to the gateway: %s", strerror(error));
    }
    return fd;
}

sockaddr_in Driver::senderOf(int fd) const {
    sockaddr_in peer{};
    socklen_t size = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
        return peer;
    }
    return destination;
}

bool Driver::attach() {
    CheckedLock lock(socketMutex);
    if (socket < 0) {
        return false;
    }
    if (generation != readerGeneration) {
        readerSocket = socket;
        readerGeneration = generation;
        gateway = senderOf(socket);
    }
    return true;
}

int Driver::replaceSocket(int fd, bool failedAgain) {
    int fresh = -1;
    std::string failure = "a new socket failed as well";
    {
        CheckedLock lock(socketMutex);
        if (socket != fd) {
            return -1; // a stop took the socket and closes it
        }
        if (!failedAgain) {
            try {
                fresh = openSocketLocked();
            } catch (std::runtime_error const& e) {
                failure = e.what();
            }
        }
        socket = fresh;
        ++generation;
        if (fresh < 0) {
            // Never set here: a stop may have cleared it already.
            running = false;
        }
        ::close(fd);
    }
    if (fresh < 0) {
        log(Log::Level::Error, "Transport stopped: %s", failure.c_str());
    } else {
        log(Log::Level::Warning, "Listener restarted on a new socket");
    }
    return fresh;
}

void Driver::listen() {
    log(Log::Level::Info, "Listener thread starting...");
    int const priority = Helpers::threadPriorityMaxGet();
    int const result = Helpers::threadPrioritySet(priority);
    if (result == 0) {
        log(Log::Level::Info, "%set listener priority to max(%d): %s", "S", priority,
            strerror(result));
    } else {
        log(Log::Level::Error, "%set listener priority to max(%d): %s", "Could not s", priority,
            strerror(result));
    }
    log(Log::Level::Info, "Listener thread started");

    std::chrono::microseconds tick;
    {
        CheckedLock lock(socketMutex);
        tick = receiveTimeout.count() > 0 ? receiveTimeout : DefaultTick;
    }
    while (running) {
        if (readers > 0) {
            park(tick);
            continue;
        }
        CheckedLock reading(receiveMutex);
        if (!attach()) {
            break;
        }
        listenOnce(tick);
    }
    log(Log::Level::Info, "Listener thread stopped");
}

void Driver::park(std::chrono::microseconds tick) {
    // No Reader wakes the listener when it is done: back-to-back requests
    // would pay for that each time. The listener looks again a tick later.
    CheckedLock lock(parkMutex);
    lock.waitFor(parked, tick, [this] { return !running; });
}

void Driver::listenOnce(std::chrono::microseconds tick) {
    pollfd watched[2] = {{readerSocket, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    listenerWaiting = true;
    if (readers > 0) {
        listenerWaiting = false;
        return; // a Reader came first
    }
    timespec const timeout = toTimespec(tick);
    int const ready = ::ppoll(watched, 2, &timeout, nullptr);
    listenerWaiting = false;
    if (watched[1].revents != 0) {
        uint64_t count = 0;
        ssize_t const taken = ::read(wakeFd, &count, sizeof(count));
        (void)taken; // only emptied, so that the next wait waits
    }
    // Also after a quiet tick: a receive is what reports a failing socket.
    if (ready == 0 || watched[0].revents != 0) {
        receiveOne(MSG_DONTWAIT);
    }
}

Driver::Reception Driver::receiveOne(int flags) {
    sockaddr_in sender{};
    socklen_t senderSize = sizeof(sender);
    ssize_t const size = ::recvfrom(readerSocket, buffer.data(), buffer.size(), flags,
                                    reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (!running) {
        return Reception::Closed;
    }
    if (size < 0) {
        int const error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            replaced = false;
            return Reception::Deadline;
        }
        if (isUnreachable(error)) {
            // The request it answers runs into its time-out.
            log(Log::Level::Debug, "recvfrom says: %s", strerror(error));
            replaced = false;
            return Reception::Deadline;
        }
        log(Log::Level::Error, "recvfrom says: %s", strerror(error));
        int const fresh = replaceSocket(readerSocket, replaced);
        if (fresh < 0 || !attach()) {
            return Reception::Closed;
        }
        replaced = true;
        return Reception::Deadline;
    }
    replaced = false;
    if (!isSameSender(sender, gateway)) {
        return Reception::Deadline; // not the gateway's: nothing of it may reach the bus
    }
    datagram.assign(buffer.data(), buffer.data() + size);
    if (Log::isEnabled(Log::Level::Debug)) {
        log(Log::Level::Debug, "Received: [%s]", Helpers::hexStr(datagram, true).c_str());
    }
    try {
        dataReceived.emit(datagram);
    } catch (std::exception const& e) {
        std::string note;
        if (failedCallbackLines.admit(note)) {
            log(Log::Level::Warning, "Callback failed: %s%s", e.what(), note.c_str());
        }
    }
    return Reception::Datagram;
}

} // namespace velt::ZRV480::Bus

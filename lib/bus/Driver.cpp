#include "bus/Driver.h"

#include "bus/Helpers.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velt::ZRV480::Bus {

using Common::Helpers;

namespace {

// The longest datagram the bus produces; longer ones are cut.
constexpr size_t ReceiveBufferSize = 512;

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

} // namespace

Driver::Driver() : Logger("Driver") {}

Driver::~Driver() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    stopLocked();
}

void Driver::start() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    startLocked();
}

void Driver::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    stopLocked();
}

void Driver::restart() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    stopLocked();
    startLocked();
}

nlohmann::json Driver::getConfig() const {
    std::lock_guard<std::mutex> lock(socketMutex);
    return config.toJson();
}

void Driver::setConfig(nlohmann::json const& settings) {
    Config::validate(settings);
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(socketMutex);
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
        std::lock_guard<std::mutex> lock(socketMutex);
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
    std::lock_guard<std::mutex> lock(socketMutex);
    destination = sockaddr_in{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(config.getUdpPort()));
    destination.sin_addr.s_addr = inet_addr(config.getUdpAddress().c_str());
    int const fd = openSocketLocked();
    socket = fd;
    running = true;
    listener = std::thread(&Driver::listen, this, fd);
}

void Driver::stopLocked() {
    running = false;
    int fd;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        fd = socket;
        socket = -1;
    }
    if (fd >= 0) {
        // Wakes a receive in progress at once, whatever the socket time-out.
        ::shutdown(fd, SHUT_RDWR);
    }
    if (listener.joinable()) {
        listener.join();
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

int Driver::openSocketLocked() const {
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
    std::lock_guard<std::mutex> lock(socketMutex);
    return destination;
}

int Driver::replaceSocket(int fd, bool failedAgain) {
    int fresh = -1;
    std::string failure = "a new socket failed as well";
    {
        std::lock_guard<std::mutex> lock(socketMutex);
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

void Driver::listen(int fd) {
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

    uint8_t buffer[ReceiveBufferSize];
    sockaddr_in gateway = senderOf(fd);
    // Set while `fd` is a socket that replaced a failed one and has neither
    // received nor timed out yet: failing at once too, the fault is not the
    // socket's, and replacing it again would only repeat the error.
    bool replaced = false;
    while (running) {
        sockaddr_in sender{};
        socklen_t senderSize = sizeof(sender);
        ssize_t const size = ::recvfrom(fd, buffer, sizeof(buffer), 0,
                                        reinterpret_cast<sockaddr*>(&sender), &senderSize);
        if (!running) {
            break;
        }
        if (size < 0) {
            int const error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                replaced = false;
                continue;
            }
            if (isUnreachable(error)) {
                // The request it answers runs into its time-out.
                log(Log::Level::Debug, "recvfrom says: %s", strerror(error));
                replaced = false;
                continue;
            }
            log(Log::Level::Error, "recvfrom says: %s", strerror(error));
            fd = replaceSocket(fd, replaced);
            if (fd < 0) {
                break;
            }
            gateway = senderOf(fd);
            replaced = true;
            continue;
        }
        replaced = false;
        if (!isSameSender(sender, gateway)) {
            continue; // not the gateway's: nothing of it may reach the bus
        }
        std::vector<uint8_t> const data(buffer, buffer + size);
        if (Log::isEnabled(Log::Level::Debug)) {
            log(Log::Level::Debug, "Received: [%s]", Helpers::hexStr(data, true).c_str());
        }
        try {
            dataReceived.emit(data);
        } catch (std::exception const& e) {
            std::string note;
            if (failedCallbackLines.admit(note)) {
                log(Log::Level::Warning, "Callback failed: %s%s", e.what(), note.c_str());
            }
        }
    }
    log(Log::Level::Info, "Listener thread stopped");
}

} // namespace velt::ZRV480::Bus

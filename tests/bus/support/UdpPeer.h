#pragma once

#include "bus/Driver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace bustest {

using Bytes = std::vector<uint8_t>;

// A UDP socket on a loopback address (an ephemeral port unless given) that
// plays the gateway, or a stranger.
class UdpPeer {
public:
    explicit UdpPeer(char const* address = "127.0.0.1", uint16_t bindPort = 0) {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(bindPort);
        local.sin_addr.s_addr = inet_addr(address);
        socklen_t size = sizeof(local);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), size) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
            throw std::runtime_error("cannot open the test peer");
        }
        port = ntohs(local.sin_port);
    }
    ~UdpPeer() { ::close(fd); }
    UdpPeer(UdpPeer const&) = delete;
    UdpPeer& operator=(UdpPeer const&) = delete;

    // The next datagram and the port it came from, or nothing within timeoutMs.
    std::optional<std::pair<Bytes, uint16_t>> receive(int timeoutMs = 1000) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        Bytes buffer(2048);
        sockaddr_in from{};
        socklen_t size = sizeof(from);
        ssize_t const n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        buffer.resize(n < 0 ? 0 : size_t(n));
        return std::make_pair(buffer, ntohs(from.sin_port));
    }

    void sendTo(uint16_t toPort, Bytes const& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(toPort);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }

    int fd;
    uint16_t port;
};

// Collects what a driver delivers; tests wait on it instead of sleeping.
class Inbox {
public:
    explicit Inbox(velt::ZRV480::Bus::Driver& driver) {
        driver.dataReceived.connect([this](Bytes const& bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            datagrams.push_back(bytes);
            arrived.notify_all();
        });
    }
    std::optional<Bytes> next() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, std::chrono::seconds(2),
                              [this] { return taken < datagrams.size(); })) {
            return std::nullopt;
        }
        return datagrams[taken++];
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> datagrams; // guarded by mutex
    size_t taken = 0;             // guarded by mutex
};

} // namespace bustest

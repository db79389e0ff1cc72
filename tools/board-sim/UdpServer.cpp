#include "UdpServer.h"

#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace boardsim {

namespace {

constexpr size_t MaxDatagram = 65536;

} // namespace

UdpServer::UdpServer(Handler handler) : handler_(std::move(handler)) {}

UdpServer::~UdpServer() {
    stop();
}

uint16_t UdpServer::start(std::string const& address, uint16_t port) {
    stop();
    uint16_t bound = 0;
    int const fd = LoopbackSocket::open(address, SOCK_DGRAM, port, bound);
    try {
        wakeFd_ = LoopbackSocket::eventFd();
    } catch (...) {
        ::close(fd);
        throw;
    }
    fd_ = fd;
    port_ = bound;
    thread_ = std::thread([this] { receiveLoop(); });
    return bound;
}

void UdpServer::stop() {
    if (!thread_.joinable()) {
        return;
    }
    LoopbackSocket::wake(wakeFd_);
    thread_.join();
    std::lock_guard<std::mutex> lock(sendMutex_);
    ::close(fd_.exchange(-1));
    ::close(wakeFd_);
    wakeFd_ = -1;
}

void UdpServer::send(Bytes const& datagram, Peer const& to) const {
    std::lock_guard<std::mutex> lock(sendMutex_);
    int const fd = fd_;
    if (fd < 0) {
        return;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = to.port;
    addr.sin_addr.s_addr = to.address;
    // Requests only ever come from loopback; a reply never leaves it.
    if ((ntohl(to.address) >> 24) != 127) {
        return;
    }
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr),
             sizeof(addr));
}

void UdpServer::receiveLoop() {
    Bytes buffer(MaxDatagram);
    int const fd = fd_;
    while (LoopbackSocket::waitReadable(fd, wakeFd_)) {
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            continue;
        }
        handler_(Bytes(buffer.begin(), buffer.begin() + n),
                 Peer{from.sin_addr.s_addr, from.sin_port});
    }
}

} // namespace boardsim

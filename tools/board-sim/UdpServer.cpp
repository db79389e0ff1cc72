#include "UdpServer.h"

#include "Lock.h"
#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace boardsim {

namespace {

constexpr size_t MaxDatagram = 65536;

} // namespace

UdpServer::UdpServer(Handler datagramHandler) : handler(std::move(datagramHandler)) {}

UdpServer::~UdpServer() {
    stop();
}

uint16_t UdpServer::start(std::string const& address, uint16_t port) {
    stop();
    uint16_t bound = 0;
    int const opened = LoopbackSocket::open(address, SOCK_DGRAM, port, bound);
    try {
        wakeFd = LoopbackSocket::eventFd();
    } catch (...) {
        ::close(opened);
        throw;
    }
    {
        Lock lock(sendMutex);
        fd = opened;
    }
    boundPort = bound;
    thread = std::thread([this, opened] { receiveLoop(opened); });
    return bound;
}

void UdpServer::stop() {
    if (!thread.joinable()) {
        return;
    }
    LoopbackSocket::wake(wakeFd);
    thread.join();
    Lock lock(sendMutex);
    ::close(fd);
    fd = -1;
    ::close(wakeFd);
    wakeFd = -1;
}

void UdpServer::send(Bytes const& datagram, Peer const& to) const {
    Lock lock(sendMutex);
    int const socketFd = fd;
    if (socketFd < 0) {
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
    ::sendto(socketFd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr),
             sizeof(addr));
}

void UdpServer::receiveLoop(int socketFd) {
    Bytes buffer(MaxDatagram);
    while (LoopbackSocket::waitReadable(socketFd, wakeFd)) {
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        ssize_t n = ::recvfrom(socketFd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            continue;
        }
        handler(Bytes(buffer.begin(), buffer.begin() + n),
                Peer{from.sin_addr.s_addr, from.sin_port});
    }
}

} // namespace boardsim

#include "SimClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

SimClient::SimClient(uint16_t simPort) : port(simPort) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind");
    }
    ownPort = ntohs(addr.sin_port);
}

SimClient::~SimClient() {
    ::close(fd);
}

void SimClient::send(boardsim::Bytes const& datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

std::optional<boardsim::Bytes> SimClient::receive(int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
        return std::nullopt;
    }
    boardsim::Bytes buffer(65536);
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
        return std::nullopt;
    }
    buffer.resize(size_t(n));
    return buffer;
}

std::optional<boardsim::Bytes> SimClient::exchange(boardsim::Bytes const& datagram, int timeoutMs) {
    send(datagram);
    return receive(timeoutMs);
}

#include "UdpServer.h"

#include "BindAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace boardsim {

namespace {

constexpr size_t MaxDatagram = 65536;

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

UdpServer::UdpServer(Handler handler) : handler_(std::move(handler)) {}

UdpServer::~UdpServer() {
    stop();
}

uint16_t UdpServer::start(const std::string& address, uint16_t port) {
    BindAddress::require(address);
    stop();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        fail("bind");
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        ::close(fd);
        fail("eventfd");
    }
    fd_ = fd;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { receiveLoop(); });
    return port_;
}

void UdpServer::stop() {
    if (!thread_.joinable()) {
        return;
    }
    uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof(one)) < 0) {
        // The loop also ends when the socket is closed below; nothing to add.
    }
    thread_.join();
    ::close(fd_.exchange(-1));
    ::close(wakeFd_);
    wakeFd_ = -1;
}

void UdpServer::send(const Bytes& datagram, const Peer& to) const {
    int fd = fd_;
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
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents) {
            return;
        }
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        ssize_t n = ::recvfrom(fds[0].fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            continue;
        }
        handler_(Bytes(buffer.begin(), buffer.begin() + n),
                 Peer{from.sin_addr.s_addr, from.sin_port});
    }
}

} // namespace boardsim

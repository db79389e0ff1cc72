#include "LoopbackSocket.h"

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

[[noreturn]] void fail(int error, char const* what) {
    throw std::system_error(error, std::generic_category(), what);
}

} // namespace

int LoopbackSocket::open(std::string const& address, int type, uint16_t port, uint16_t& bound) {
    BindAddress::require(address);
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(errno, "socket");
    }
    if (type == SOCK_STREAM) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 8) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        int const saved = errno;
        ::close(fd);
        fail(saved, "bind");
    }
    bound = ntohs(addr.sin_port);
    return fd;
}

int LoopbackSocket::eventFd() {
    int fd = ::eventfd(0, EFD_CLOEXEC);
    if (fd < 0) {
        fail(errno, "eventfd");
    }
    return fd;
}

bool LoopbackSocket::waitReadable(int fd, int wakeFd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        return fds[1].revents == 0;
    }
}

void LoopbackSocket::wake(int wakeFd) {
    const uint64_t one = 1;
    // eventfd writes of 8 bytes only fail on counter overflow, which one write cannot reach.
    if (::write(wakeFd, &one, sizeof(one)) < 0) {
        return;
    }
}

} // namespace boardsim

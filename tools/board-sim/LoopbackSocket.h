#pragma once

#include <cstdint>
#include <string>

namespace boardsim {

// Sockets on 127.0.0.1 and the eventfd that ends a thread's wait on them.
struct LoopbackSocket {
    // A UDP (SOCK_DGRAM) or listening TCP (SOCK_STREAM) socket bound to
    // address:port; `bound` receives the port. Throws std::invalid_argument for
    // any address but 127.0.0.1 and std::system_error on socket failures.
    static int open(std::string const& address, int type, uint16_t port, uint16_t& bound);
    static int eventFd();
    // Blocks until `fd` is readable (true) or `wakeFd` was signalled (false).
    static bool waitReadable(int fd, int wakeFd);
    static void wake(int wakeFd);
};

} // namespace boardsim

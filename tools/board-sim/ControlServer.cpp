#include "ControlServer.h"

#include "Lock.h"
#include "LoopbackSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace boardsim {

namespace {

// A line longer than this is not a control request; the connection is closed.
constexpr size_t MaxLine = size_t{16} * 1024 * 1024;

bool writeAll(int fd, std::string const& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

} // namespace

ControlServer::ControlServer(Handler lineHandler) : handler(std::move(lineHandler)) {}

ControlServer::~ControlServer() {
    stop();
}

uint16_t ControlServer::start(std::string const& address, uint16_t port) {
    stop();
    uint16_t bound = 0;
    int const fd = LoopbackSocket::open(address, SOCK_STREAM, port, bound);
    try {
        wakeFd = LoopbackSocket::eventFd();
    } catch (...) {
        ::close(fd);
        throw;
    }
    listenFd = fd;
    {
        Lock lock(mutex);
        stopping = false;
    }
    acceptThread = std::thread([this] { acceptLoop(); });
    return bound;
}

void ControlServer::stop() {
    if (!acceptThread.joinable()) {
        return;
    }
    LoopbackSocket::wake(wakeFd);
    acceptThread.join();
    std::list<Connection> closing;
    {
        Lock lock(mutex);
        stopping = true;
        closing.swap(connections);
        for (auto& c : closing) {
            if (c.fd >= 0) {
                ::shutdown(c.fd, SHUT_RDWR); // wakes the connection's blocking read
            }
        }
    }
    for (auto& c : closing) {
        c.thread.join(); // the connection closed its socket on its way out
    }
    ::close(listenFd);
    ::close(wakeFd);
    listenFd = wakeFd = -1;
}

void ControlServer::acceptLoop() {
    while (LoopbackSocket::waitReadable(listenFd, wakeFd)) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        Lock lock(mutex);
        if (stopping) {
            ::close(fd);
            return;
        }
        connections.push_back(Connection{fd, std::thread([this, fd] { serve(fd); })});
    }
}

void ControlServer::serve(int fd) {
    serveLines(fd);
    Lock lock(mutex);
    for (auto& c : connections) {
        if (c.fd == fd) {
            c.fd = -1;
        }
    }
    ::close(fd);
}

void ControlServer::serveLines(int fd) {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        buffer.append(chunk, size_t(n));
        size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (line.find_first_not_of(" \t\r") == std::string::npos) {
                continue;
            }
            if (!writeAll(fd, handler(line) + "\n")) {
                return;
            }
        }
        if (buffer.size() > MaxLine) {
            return;
        }
    }
}

} // namespace boardsim

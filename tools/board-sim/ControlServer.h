#pragma once

#include "Mutex.h"
#include "ThreadSafety.h"

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <thread>

namespace boardsim {

// JSON lines over TCP on 127.0.0.1: each line in is handed to the handler and
// its answer written back as one line. One thread per connection.
class ControlServer {
public:
    using Handler = std::function<std::string(std::string const& line)>;

    explicit ControlServer(Handler lineHandler);
    ~ControlServer();
    ControlServer(ControlServer const&) = delete;
    ControlServer& operator=(ControlServer const&) = delete;

    // Returns the bound port; throws std::invalid_argument for a non-loopback
    // address and std::system_error when the socket cannot be bound.
    uint16_t start(std::string const& address, uint16_t port);
    void stop(); // closes every connection and joins their threads

private:
    struct Connection {
        int fd; // -1 once the connection closed it
        std::thread thread;
    };
    void acceptLoop();
    void serve(int fd);
    void serveLines(int fd);

    const Handler handler;
    int listenFd = -1;
    int wakeFd = -1; // eventfd that ends the accept loop
    std::thread acceptThread;
    Mutex mutex;
    std::list<Connection> connections SIM_GUARDED_BY(mutex);
    bool stopping SIM_GUARDED_BY(mutex) = false;
};

} // namespace boardsim

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace testsupport {

// A private mosquitto for one test: its own configuration file in its own
// temporary directory, a listener on 127.0.0.1 only with a free ephemeral
// port, stopped by its process id. Nothing is left running once it is
// destroyed.
class MosquittoBroker {
public:
    // Without a user name anonymous clients are allowed; with one, only
    // that user with that password.
    MosquittoBroker();
    MosquittoBroker(std::string username, std::string password);
    ~MosquittoBroker();
    MosquittoBroker(MosquittoBroker const&) = delete;
    MosquittoBroker& operator=(MosquittoBroker const&) = delete;

    // A line of the broker's own settings (e.g. a queue limit) added to its
    // configuration file; it takes effect at the next start.
    void configure(std::string const& line) { settings += line + "\n"; }

    // Starts the broker and waits (bounded) until its port accepts; the port
    // stays the same across restarts. False when it did not come up.
    bool start();
    // SIGTERM, a bounded wait, then SIGKILL.
    void stop();
    bool restart();
    bool isRunning() const { return pid > 0; }

    uint16_t port() const { return listenPort; }
    // "127.0.0.1:<port>", as the client's "url" setting takes it.
    std::string url() const;
    // The broker's own log, for a failing test's output.
    std::string logText() const;

private:
    bool writeFiles();
    bool waitAccepting() const;

    std::string username;
    std::string password;
    std::string settings;
    std::string directory;
    uint16_t listenPort = 0;
    pid_t pid = -1;
};

} // namespace testsupport

#include "support/MosquittoBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

constexpr char const* BrokerPath = "/usr/sbin/mosquitto";
constexpr char const* PasswdPath = "/usr/bin/mosquitto_passwd";
constexpr auto StartWait = std::chrono::seconds(10);
constexpr auto StopWait = std::chrono::seconds(5);

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the kernel hands out as free on 127.0.0.1.
uint16_t freePort() {
    int const fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

pid_t spawn(std::vector<std::string> const& arguments) {
    std::vector<char*> argv;
    for (auto const& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    // The broker logs to its own file; its standard streams go nowhere, so it
    // holds no pipe of the test open.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    int const result = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? child : -1;
}

bool reaped(pid_t pid, std::chrono::steady_clock::duration limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    do {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace

MosquittoBroker::MosquittoBroker() : MosquittoBroker("", "") {}

MosquittoBroker::MosquittoBroker(std::string user, std::string secret)
    : username(std::move(user)), password(std::move(secret)) {
    char pattern[] = "/tmp/mosquitto-test-XXXXXX";
    if (mkdtemp(pattern)) {
        directory = pattern;
    }
}

MosquittoBroker::~MosquittoBroker() {
    stop();
    if (!directory.empty()) {
        std::string const command = "rm -rf '" + directory + "'";
        if (std::system(command.c_str()) != 0) {
            // A leftover temporary directory harms nothing.
        }
    }
}

std::string MosquittoBroker::url() const {
    return "127.0.0.1:" + std::to_string(listenPort);
}

bool MosquittoBroker::writeFiles() {
    if (listenPort == 0) {
        listenPort = freePort();
    }
    if (directory.empty() || listenPort == 0) {
        return false;
    }
    std::ofstream conf(directory + "/mosquitto.conf", std::ios::trunc);
    conf << "listener " << listenPort << " 127.0.0.1\n"
         << "persistence false\n"
         << "log_dest file " << directory << "/mosquitto.log\n"
         << "log_type all\n"
         << "user root\n"
         << settings;
    if (username.empty()) {
        conf << "allow_anonymous true\n";
    } else {
        conf << "allow_anonymous false\n"
             << "password_file " << directory << "/passwd\n";
        pid_t const passwd =
            spawn({PasswdPath, "-b", "-c", directory + "/passwd", username, password});
        int status = 0;
        if (passwd < 0 || waitpid(passwd, &status, 0) != passwd || status != 0) {
            return false;
        }
    }
    return static_cast<bool>(conf.flush());
}

bool MosquittoBroker::waitAccepting() const {
    auto const deadline = std::chrono::steady_clock::now() + StartWait;
    while (std::chrono::steady_clock::now() < deadline) {
        int const fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(listenPort);
        bool const accepted =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (accepted) {
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return false; // the broker gave up (port taken, bad configuration)
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool MosquittoBroker::start() {
    if (pid > 0) {
        return true;
    }
    if (!writeFiles()) {
        return false;
    }
    pid = spawn({BrokerPath, "-c", directory + "/mosquitto.conf"});
    if (pid < 0) {
        return false;
    }
    if (!waitAccepting()) {
        stop();
        return false;
    }
    return true;
}

void MosquittoBroker::stop() {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    if (!reaped(pid, StopWait)) {
        kill(pid, SIGKILL);
        reaped(pid, StopWait);
    }
    pid = -1;
}

bool MosquittoBroker::restart() {
    stop();
    return start();
}

std::string MosquittoBroker::logText() const {
    std::ifstream log(directory + "/mosquitto.log");
    std::stringstream text;
    text << log.rdbuf();
    return text.str();
}

} // namespace testsupport

#include "support/SimClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using boardsim::Bytes;

namespace {

// board-sim run as a child process, its stdout and stderr read through pipes.
class Process {
public:
    explicit Process(std::vector<std::string> args) {
        args.insert(args.begin(), BOARD_SIM_EXE);
        int outPipe[2], errPipe[2];
        if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
            throw std::runtime_error("pipe");
        }
        pid = ::fork();
        if (pid == 0) {
            ::dup2(outPipe[1], 1);
            ::dup2(errPipe[1], 2);
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out = outPipe[0];
        err = errPipe[0];
    }
    ~Process() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(out);
        ::close(err);
    }

    // The first line on stdout, or "" after 5 s.
    std::string line() {
        std::string text;
        char c;
        pollfd p{out, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0 && ::read(out, &c, 1) == 1 && c != '\n') {
            text += c;
        }
        return text;
    }
    std::string errors() {
        std::string text;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(err, buffer, sizeof(buffer))) > 0) {
            text.append(buffer, size_t(n));
        }
        return text;
    }
    // The exit status, after at most 5 s.
    int wait() {
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return -1;
    }
    void signal(int s) { ::kill(pid, s); }

private:
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

std::string control(uint16_t port, std::string const& line) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::send(fd, (line + "\n").data(), line.size() + 1, 0) > 0) {
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
            reply += c;
        }
    }
    ::close(fd);
    return reply;
}

} // namespace

TEST(Executable, servesTheDefaultScenarioUntilSigterm) {
    Process sim({"--port", "0", "--control-port", "0"});
    unsigned udp = 0, tcp = 0;
    const std::string listening = sim.line();
    ASSERT_EQ(std::sscanf(listening.c_str(), "LISTENING udp=%u control=%u", &udp, &tcp), 2)
        << listening;

    SimClient client{uint16_t(udp)};
    auto reply = client.exchange(request(0, 3, 0x7F, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 4), (Bytes{0xC9, 3, 0x7F, 0}));
    EXPECT_EQ(control(uint16_t(tcp), R"({"op":"rule","action":{"error":129}})"),
              R"({"id":1,"ok":true})");
    EXPECT_EQ(client.exchange(request(16, 4, 0x7F, 0)), (Bytes{0xC9, 4, 0x81, 0}));

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(Executable, refusesWhatItCannotServe) {
    const std::string bad = ::testing::TempDir() + "/bad-scenario.json";
    std::ofstream(bad) << R"({"boards": [{"address": 0, "config": {"3": {"light": true}}}]})";
    const std::vector<std::vector<std::string>> cases = {
        {"--bind", "0.0.0.0"},
        {"--bind", "10.10.10.4"},
        {"--port", "70000"},
        {"--scenario", bad},
        {"--scenario", "/nonexistent/scenario.json"},
        {"--frobnicate", "1"},
    };
    for (auto const& args : cases) {
        Process sim(args);
        EXPECT_NE(sim.wait(), 0) << args[0] << " " << args[1];
        EXPECT_FALSE(sim.errors().empty()) << args[0] << " " << args[1];
    }
    std::remove(bad.c_str());
}

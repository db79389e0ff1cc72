#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace e2e {

namespace {

int decode(int raw) {
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

} // namespace

Process::Process(std::vector<std::string> const& argv, std::string const& dir,
                 std::string const& outputFile, std::string const& errorFile) {
    // Everything the child needs is prepared before the fork: between fork
    // and exec only async-signal-safe calls.
    std::vector<char*> args;
    for (auto const& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);

    child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        int const out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int const err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int const in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // A test process that dies (killed, or a closed output pipe) takes
        // the child with it instead of leaving it running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execv(args[0], args.data());
        _exit(127);
    }
}

Process::~Process() {
    if (!wait(0)) {
        kill(child, SIGKILL);
        wait(5000);
    }
}

void Process::signal(int number) const {
    if (!status) {
        kill(child, number);
    }
}

std::optional<int> Process::wait(int timeoutMs) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!status) {
        int raw = 0;
        if (waitpid(child, &raw, WNOHANG) == child) {
            status = decode(raw);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return status;
}

Finished runCommand(std::vector<std::string> const& argv, std::string const& dir, int timeoutMs) {
    static std::atomic<int> count{0};
    std::string const base = dir + "/.command-" + std::to_string(++count);
    Finished finished{-1, "", ""};
    {
        Process process(argv, dir, base + ".out", base + ".err");
        if (auto const status = process.wait(timeoutMs)) {
            finished.status = *status;
        }
    }
    finished.output = readFile(base + ".out");
    finished.error = readFile(base + ".err");
    unlink((base + ".out").c_str());
    unlink((base + ".err").c_str());
    return finished;
}

std::string readFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool waitForText(std::string const& path, std::string const& text, int timeoutMs) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (readFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

size_t occurrences(std::string const& text, std::string const& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

} // namespace e2e

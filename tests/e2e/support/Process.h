#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace e2e {

// A child process run in a directory, its standard output and error written
// to files. Killed and reaped when the object goes, if still running.
class Process {
public:
    Process(std::vector<std::string> const& argv, std::string const& dir,
            std::string const& outputFile, std::string const& errorFile);
    ~Process();
    Process(Process const&) = delete;
    Process& operator=(Process const&) = delete;

    pid_t pid() const { return child; }
    void signal(int number) const;
    // The exit status (128 + the signal's number when a signal ended it), or
    // nothing when it still runs after timeoutMs.
    std::optional<int> wait(int timeoutMs);

private:
    pid_t child = -1;
    std::optional<int> status;
};

struct Finished {
    int status;
    std::string output;
    std::string error;
};

// Runs a command to its end (killed after timeoutMs, status -1 then).
Finished runCommand(std::vector<std::string> const& argv, std::string const& dir, int timeoutMs);

std::string readFile(std::string const& path);
// Polls the file until it holds the text; false after timeoutMs.
bool waitForText(std::string const& path, std::string const& text, int timeoutMs);
// How many times the part occurs in the text, overlaps counted.
size_t occurrences(std::string const& text, std::string const& part);

} // namespace e2e

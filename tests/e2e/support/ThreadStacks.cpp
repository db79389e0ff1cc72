#include "support/ThreadStacks.h"

#include "support/Process.h"

#include <unistd.h>

#include <string>
#include <vector>

namespace e2e {

namespace {

// The first of the usual places that holds the tool ("" when none does).
std::string installed(std::string const& tool) {
    for (char const* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        std::string const path = dir + tool;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

} // namespace

std::string threadStacks(pid_t pid, int timeoutMs) {
    std::string const process = std::to_string(pid);
    std::vector<std::string> command;
    if (std::string const gdb = installed("gdb"); !gdb.empty()) {
        command = {gdb, "-p", process, "-batch", "-nx", "-ex", "thread apply all bt"};
    } else if (std::string const euStack = installed("eu-stack"); !euStack.empty()) {
        command = {euStack, "-p", process};
    } else {
        return "no stacks of process " + process + ": neither gdb nor eu-stack is installed\n";
    }
    Finished const dump = runCommand(command, "/tmp", timeoutMs);
    std::string text = "stacks of process " + process + " (" + command[0] + ", status " +
                       std::to_string(dump.status) + "):\n" + dump.output;
    if (dump.output.find("Thread") == std::string::npos &&
        dump.output.find("TID") == std::string::npos) {
        text += "(no thread listed; the tool said:)\n" + dump.error;
    }
    return text;
}

} // namespace e2e

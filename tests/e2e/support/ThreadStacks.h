#pragma once

#include <sys/types.h>

#include <string>

namespace e2e {

// Every thread's stack of a running process, as a debugger attached from
// outside shows them (gdb, else eu-stack), for the message of a test that
// found the process stuck. When neither tool is installed, or the tool gave
// nothing within timeoutMs, the text says so instead.
std::string threadStacks(pid_t pid, int timeoutMs = 60000);

} // namespace e2e

#include "foundation/Log.h"

#include "foundation/Clock.h"
#include "foundation/String.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <string>

namespace {

// Set by Log::open on the main thread before other threads log; read-only
// afterwards. Atomic so that a late open cannot tear a concurrent read.
// Colours go only to a standard error that is a terminal: escapes in syslog or
// in a file are noise to every reader.
std::atomic<bool> Log_colorEnable{false};
std::atomic<bool> copyToStderr{false};
std::atomic<char const*> identity{""};
std::atomic<double> time_start{0.0};
// The most verbose level let through; setLevel keeps it beside the logger's
// mask so that a message below it costs no more than this test.
std::atomic<int> levelLetThrough{static_cast<int>(Log::Level::Debug)};

// The level a message is logged at: a value outside the enumeration goes out
// at the debug priority.
int effective(Log::Level level) {
    int const value = static_cast<int>(level);
    return value < 0 || value > static_cast<int>(Log::Level::Debug)
               ? static_cast<int>(Log::Level::Debug)
               : value;
}

char const* const ColorEnd = "\033[39m";

int priorityOf(Log::Level level) {
    switch (level) {
    case Log::Level::Error:
        return LOG_ERR;
    case Log::Level::Warning:
        return LOG_WARNING;
    case Log::Level::Info:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

// Empty for a value outside the enumeration: such lines keep the colour in effect.
char const* colorOf(Log::Level level) {
    switch (level) {
    case Log::Level::Error:
        return "\033[31m";
    case Log::Level::Warning:
        return "\033[33m";
    case Log::Level::Info:
        return "\033[39m";
    case Log::Level::Debug:
        return "\033[35m";
    default:
        return "";
    }
}

// The longest message handed to the system logger. A datagram beyond its
// socket's limit cannot be sent, and the logger then writes the line to the
// console while it holds its lock, stalling every thread that logs.
constexpr std::size_t MessageMax = 8192;

// The message the format makes, cut at MessageMax and then told by its length.
std::string formatted(char const* format, va_list args) {
    // One byte beyond the limit shows whether the cut splits a character.
    char buffer[MessageMax + 2];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int const length = std::vsnprintf(buffer, sizeof(buffer), format, args);
#pragma GCC diagnostic pop
    if (length < 0) {
        return std::string();
    }
    auto const size = static_cast<std::size_t>(length);
    if (size <= MessageMax) {
        return std::string(buffer, size);
    }
    return String::clipHead(buffer, MessageMax, size);
}

// The copy on standard error, as the system logger's own copy looked:
// "<identity>: <line>". One call on the unbuffered stream, which holds the
// stream's lock while it writes the whole: lines of several threads never
// interleave.
void writeStderr(std::string const& line) {
    std::string const text = std::string(identity.load()) + ": " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

// The one place that hands a line to the system logger.
void writeLine(Log::Level level, std::string const& message) {
    double const seconds = Clock::elapsedMillis(time_start) / 1000.0;
    std::string const stamp = String::format("[%9.03f] ", seconds);
    syslog(priorityOf(level), "%s%s", stamp.c_str(), message.c_str());
    if (!copyToStderr) {
        return;
    }
    if (Log_colorEnable) {
        writeStderr(stamp + colorOf(level) + message + ColorEnd);
    } else {
        writeStderr(stamp + message);
    }
}

} // namespace

bool Log::open(char const* ident, bool toStderr, bool colorEnable) {
    // The copy on standard error is written here rather than by the system
    // logger, which would write the syslog line, escapes and all.
    openlog(ident, LOG_CONS | LOG_NDELAY, LOG_LOCAL1);
    identity = ident != nullptr ? ident : "";
    copyToStderr = toStderr;
    Log_colorEnable = colorEnable && toStderr && ::isatty(STDERR_FILENO) == 1;
    time_start = Clock::millis();
    return true;
}

bool Log::close() {
    closelog();
    return true;
}

void Log::setLevel(Level level) {
    levelLetThrough = effective(level);
    switch (level) {
    case Level::Error:
        setlogmask(LOG_UPTO(LOG_ERR));
        break;
    case Level::Warning:
        setlogmask(LOG_UPTO(LOG_WARNING));
        break;
    case Level::Info:
        setlogmask(LOG_UPTO(LOG_INFO));
        break;
    default:
        setlogmask(LOG_UPTO(LOG_DEBUG));
        break;
    }
}

bool Log::isEnabled(Level level) {
    return effective(level) <= levelLetThrough;
}

void Log::vprint(Level level, char const* format, va_list args) {
    if (isEnabled(level)) {
        writeLine(level, formatted(format, args));
    }
}

void Log::print(Level level, char const* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(level, format, args);
    va_end(args);
}

void Log::print(Level level, std::string const& text) {
    if (isEnabled(level)) {
        writeLine(level, String::clip(text, MessageMax));
    }
}

#define LOG_AT(name, level)                                                                        \
    void Log::name(char const* format, ...) {                                                      \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        vprint(level, format, args);                                                               \
        va_end(args);                                                                              \
    }

LOG_AT(error, Level::Error)
LOG_AT(warning, Level::Warning)
LOG_AT(info, Level::Info)
LOG_AT(debug, Level::Debug)

#undef LOG_AT

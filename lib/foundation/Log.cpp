#include "foundation/Log.h"

#include "foundation/Clock.h"
#include "foundation/String.h"

#include <syslog.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <string>

namespace {

// Set by Log::open on the main thread before other threads log; read-only
// afterwards. Atomic so that a late open cannot tear a concurrent read.
std::atomic<bool> Log_colorEnable{false};
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

// The one place that hands a line to the system logger.
void writeLine(Log::Level level, std::string const& message) {
    double const seconds = Clock::elapsedMillis(time_start) / 1000.0;
    if (Log_colorEnable) {
        syslog(priorityOf(level), "[%9.03f] %s%s%s", seconds, colorOf(level), message.c_str(),
               ColorEnd);
    } else {
        syslog(priorityOf(level), "[%9.03f] %s", seconds, message.c_str());
    }
}

} // namespace

bool Log::open(char const* ident, bool toStderr, bool colorEnable) {
    int options = LOG_CONS | LOG_NDELAY;
    if (toStderr) {
        options |= LOG_PERROR;
    }
    openlog(ident, options, LOG_LOCAL1);
    Log_colorEnable = colorEnable;
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

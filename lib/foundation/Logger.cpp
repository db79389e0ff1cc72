#include "foundation/Logger.h"

#include <utility>

Logger::Logger(std::string loggerName) : name(std::move(loggerName)) {}

Logger::~Logger() = default;

void Logger::log(Log::Level level, char const* format, ...) const {
    if (!Log::isEnabled(level)) {
        return;
    }
    // The name becomes part of the format, so its '%' must not start a conversion.
    std::string line = "[";
    for (char c : name) {
        line += c;
        if (c == '%') {
            line += '%';
        }
    }
    line += "] ";
    line += format;

    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    Log::vprint(level, line.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
}

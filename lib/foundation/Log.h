#pragma once

#include <cstdarg>
#include <string>

// The process log on syslog (facility LOCAL1). Every line carries the seconds
// since the log was opened and, with colours on, an ANSI colour by level.
class Log {
public:
    enum class Level : int { Error = 0, Warning = 1, Info = 2, Debug = 3 };

    // The system logger keeps the identity pointer: it must outlive the log.
    static bool open(char const* ident, bool toStderr, bool colorEnable);
    static bool close();
    // Lets through the messages of this level and the more severe ones.
    static void setLevel(Level level);
    // Whether a message of this level gets through: a caller can skip
    // building what such a message would show.
    static bool isEnabled(Level level);

    static void vprint(Level level, char const* format, va_list args)
        __attribute__((format(printf, 2, 0)));
    static void print(Level level, char const* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes a finished text: a '%' in it is written as it stands.
    static void print(Level level, std::string const& text);

    static void error(char const* format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(char const* format, ...) __attribute__((format(printf, 1, 2)));
    static void info(char const* format, ...) __attribute__((format(printf, 1, 2)));
    static void debug(char const* format, ...) __attribute__((format(printf, 1, 2)));
};

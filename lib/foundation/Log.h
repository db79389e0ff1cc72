#pragma once

#include <cstdarg>
#include <string>

// The process log on syslog (facility LOCAL1), with a copy on standard error on
// request. Every line carries the seconds since the log was opened; the copy
// on standard error, with colours on and only where it is a terminal, an ANSI
// colour by level. Syslog lines are never coloured.
class Log {
public:
    enum class Level : int { Error = 0, Warning = 1, Info = 2, Debug = 3 };

    // The system logger keeps the identity pointer, and so does the copy on
    // standard error: it must outlive the log. Whether standard error is a
    // terminal is looked at here: open the log after redirecting it.
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

#include "foundation/Log.h"
#include "foundation/Logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

char const Ident[] = "logtest";
std::string const Red = "\033[31m";
std::string const Yellow = "\033[33m";
std::string const Default = "\033[39m";
std::string const Magenta = "\033[35m";

// A pseudo-terminal in place of standard error while it lives: what a log
// writes to an operator's terminal.
class TerminalStderr {
public:
    TerminalStderr() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(::grantpt(master), 0);
        EXPECT_EQ(::unlockpt(master), 0);
        int const terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(terminal, 0);
        // Raw: line ends reach the master as they were written.
        termios mode{};
        ::tcgetattr(terminal, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(terminal, TCSANOW, &mode);
        std::fflush(stderr);
        saved = ::dup(STDERR_FILENO);
        ::dup2(terminal, STDERR_FILENO);
        ::close(terminal);
    }
    ~TerminalStderr() {
        text();
        ::close(master);
    }
    TerminalStderr(TerminalStderr const&) = delete;
    TerminalStderr& operator=(TerminalStderr const&) = delete;

    // Restores standard error; what reached the terminal. Keep it short: the
    // terminal holds a few kilobytes until read.
    std::string text() {
        if (saved >= 0) {
            ::dup2(saved, STDERR_FILENO);
            ::close(saved);
            saved = -1;
            pollfd ready{master, POLLIN, 0};
            char buffer[4096];
            while (::poll(&ready, 1, 200) == 1) {
                ssize_t const n = ::read(master, buffer, sizeof(buffer));
                if (n <= 0) {
                    break;
                }
                written.append(buffer, static_cast<size_t>(n));
            }
        }
        return written;
    }

private:
    int master = -1;
    int saved = -1;
    std::string written;
};

// Opens the log with its copy on standard error, redirected to a file, and
// returns what the action wrote there. The mask is reset so that every test
// starts with all levels on.
std::string logged(bool colors, std::function<void()> const& action) {
    CaptureStderr();
    Log::open(Ident, true, colors);
    Log::setLevel(Log::Level::Debug);
    action();
    return GetCapturedStderr();
}

// The same with standard error a terminal.
std::string onTerminal(bool colors, std::function<void()> const& action) {
    TerminalStderr terminal;
    Log::open(Ident, true, colors);
    Log::setLevel(Log::Level::Debug);
    action();
    return terminal.text();
}

// Runs in a death test's child: logs one line with colours on and standard
// error a terminal, and exits with 0 when syslog got it without escapes and
// the terminal with them.
[[noreturn]] void syslogLineOnPrivateLogSocket() {
    int const report = ::dup(STDERR_FILENO);
    auto const fail = [report](std::string const& why) {
        std::string const text = why + "\n";
        if (::write(report, text.data(), text.size()) < 0) {
            ::_exit(2);
        }
        ::_exit(1);
    };
    // The terminal first: the private /dev hides /dev/ptmx.
    TerminalStderr terminal;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("logtest", "/dev", "tmpfs", 0, "mode=0755") != 0) {
        fail(std::string("no private /dev: ") + std::strerror(errno));
    }
    int const sink = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    timeval const wait{5, 0};
    if (sink < 0 ||
        ::bind(sink, reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0 ||
        ::setsockopt(sink, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) != 0) {
        fail(std::string("no log socket: ") + std::strerror(errno));
    }
    // Closed first: the system logger keeps a connection made by an earlier open.
    Log::close();
    Log::open(Ident, true, true);
    Log::setLevel(Log::Level::Debug);
    Log::warning("plain %d", 1);
    char buffer[1024];
    ssize_t const n = ::recv(sink, buffer, sizeof(buffer), 0);
    std::string const line(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    if (line.find("] plain 1") == std::string::npos || line.find('\033') != std::string::npos) {
        fail("syslog got: '" + line + "'");
    }
    if (terminal.text().find(Yellow + "plain 1" + Default) == std::string::npos) {
        fail("the terminal got: '" + terminal.text() + "'");
    }
    ::_exit(0);
}

std::string const StampPattern = R"(\[ *\d+\.\d{3}\] )";

Log::Level levelOf(int value) {
    return static_cast<Log::Level>(value);
}

} // namespace

TEST(Log, ColouredLineHasStampOutsideAndEscapesAroundText) {
    struct Case {
        int level;
        std::string opening;
    };
    for (Case const& c : std::vector<Case>{{0, Red}, {1, Yellow}, {2, Default}, {3, Magenta}}) {
        SCOPED_TRACE(c.level);
        std::string const out =
            onTerminal(true, [&] { Log::print(levelOf(c.level), "value %d of %s", 7, "x"); });
        std::string const stamp = out.substr(0, out.find(']') + 2);
        EXPECT_TRUE(std::regex_match(stamp, std::regex(std::string(Ident) + ": " + StampPattern)))
            << out;
        EXPECT_EQ(out.substr(stamp.size()), c.opening + "value 7 of x" + Default + "\n");
    }
}

TEST(Log, ValueOutsideLevelsHasNoOpeningEscapeButIsClosed) {
    std::string const out = onTerminal(true, [] { Log::print(levelOf(7), "odd"); });
    EXPECT_THAT(out, testing::MatchesRegex(".*\\] odd\033\\[39m\n"));
}

TEST(Log, WithoutColoursStampIsFollowedByText) {
    std::string const out = logged(false, [] { Log::info("plain %u", 3u); });
    EXPECT_TRUE(
        std::regex_match(out, std::regex(std::string(Ident) + ": " + StampPattern + "plain 3\n")))
        << out;
}

// Escapes are for an operator's terminal; a redirected standard error is read
// by tools, and so is syslog.
TEST(Log, ColoursOnlyWhereStandardErrorIsATerminal) {
    struct Case {
        bool terminal;
        bool colors;
        std::string expected;
    };
    for (Case const& c : std::vector<Case>{{true, true, "] " + Yellow + "w 1" + Default + "\n"},
                                           {true, false, "] w 1\n"},
                                           {false, true, "] w 1\n"}}) {
        SCOPED_TRACE(std::string(c.terminal ? "terminal" : "redirected") +
                     (c.colors ? " with colours" : " without colours"));
        auto const capture = c.terminal ? onTerminal : logged;
        std::string const out = capture(c.colors, [] { Log::warning("w %d", 1); });
        EXPECT_THAT(out, testing::EndsWith(c.expected));
        EXPECT_EQ(out.find('\033') != std::string::npos, c.terminal && c.colors) << out;
    }
}

// Syslog never gets an escape, not even while a terminal shows the coloured
// copy. The child puts a socket of its own at /dev/log in a private mount
// namespace and reads the line the log sends there.
TEST(Log, SyslogLinesCarryNoColour) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a private mount namespace needs root";
    }
    EXPECT_EXIT(syslogLineOnPrivateLogSocket(), testing::ExitedWithCode(0), "");
}

TEST(Log, StandardErrorGetsACopyOnlyWhenAskedFor) {
    Log::open(Ident, false, true);
    Log::setLevel(Log::Level::Debug);
    CaptureStderr();
    Log::error("quiet %d", 1);
    Log::print(Log::Level::Warning, std::string("quiet text"));
    Logger("Q").log(Log::Level::Info, "quiet");
    EXPECT_EQ(GetCapturedStderr(), "");
    // Opening again replaces the options.
    EXPECT_THAT(logged(false, [] { Log::error("loud"); }), HasSubstr("] loud\n"));
}

TEST(Log, StampCountsSecondsSinceOpenInNineCharacterField) {
    std::string const out = logged(false, [] { Log::error("x"); });
    // Just opened: no whole second yet, right-aligned in nine characters.
    EXPECT_TRUE(std::regex_match(out, std::regex(std::string(Ident) + R"(: \[    0\.\d{3}\] x\n)")))
        << out;
}

TEST(Log, LevelShortcutsUseTheirLevel) {
    std::string const out = onTerminal(true, [] {
        Log::error("e");
        Log::warning("w");
        Log::info("i");
        Log::debug("d");
    });
    EXPECT_THAT(out, HasSubstr(Red + "e" + Default));
    EXPECT_THAT(out, HasSubstr(Yellow + "w" + Default));
    EXPECT_THAT(out, HasSubstr(Default + "i" + Default));
    EXPECT_THAT(out, HasSubstr(Magenta + "d" + Default));
}

TEST(Log, FinishedTextIsNotUsedAsFormat) {
    std::string const out = onTerminal(true, [] {
        Log::print(Log::Level::Warning, std::string("100% %s %n"));
        Log::info("%d%% %s", 100, "done");
    });
    EXPECT_THAT(out, HasSubstr("] " + Yellow + "100% %s %n" + Default + "\n"));
    EXPECT_THAT(out, HasSubstr("] " + Default + "100% done" + Default + "\n"));
    std::string const plain =
        logged(false, [] { Log::print(Log::Level::Info, std::string("a%sb")); });
    EXPECT_TRUE(
        std::regex_match(plain, std::regex(std::string(Ident) + ": " + StampPattern + "a%sb\n")))
        << plain;
}

TEST(Log, SetLevelLetsThroughThatLevelAndMoreSevere) {
    struct Case {
        int mask;
        std::string passing;
    };
    // Messages: level 0..3 and an out-of-range level, which is debug priority.
    std::vector<Case> const cases = {{0, "0"},     {1, "01"},    {2, "012"},
                                     {3, "01239"}, {9, "01239"}, {-1, "01239"}};
    for (Case const& c : cases) {
        SCOPED_TRACE(c.mask);
        // isEnabled answers what gets through, so callers may skip the rest.
        std::string enabled;
        std::string const out = logged(false, [&] {
            Log::setLevel(levelOf(c.mask));
            for (int level : {0, 1, 2, 3, 9}) {
                Log::print(levelOf(level), "<%d>", level);
                enabled += Log::isEnabled(levelOf(level)) ? std::to_string(level) : "";
            }
        });
        EXPECT_EQ(enabled, c.passing);
        std::string passed;
        std::regex const tag("<(\\d)>");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), tag);
             it != std::sregex_iterator(); ++it) {
            passed += (*it)[1].str();
        }
        EXPECT_EQ(passed, c.passing);
    }
    Log::setLevel(Log::Level::Debug);
}

TEST(Logger, NameStandsInsideColourBeforeExpandedText) {
    struct Named : Logger {
        Named(std::string loggerName) : Logger(std::move(loggerName)) {}
    };
    struct Case {
        std::string name;
        std::string prefix;
    };
    // A '%' in a name is printed as it stands and never consumes an argument.
    std::vector<Case> const cases = {
        {"Parser", "[Parser] "}, {"", "[] "}, {"B%s%n%d", "[B%s%n%d] "}, {"50%", "[50%] "}};
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        Named const logger(c.name);
        std::string const out =
            onTerminal(true, [&] { logger.log(Log::Level::Info, "got %d %s", 5, "ok"); });
        EXPECT_EQ(out.substr(out.find("] ") + 2), Default + c.prefix + "got 5 ok" + Default + "\n");
    }
}

TEST(Logger, LongMessageIsWrittenWhole) {
    Logger const logger("Long");
    std::string const text(3000, 'z');
    std::string const out =
        logged(false, [&] { logger.log(Log::Level::Error, "%s|", text.c_str()); });
    EXPECT_THAT(out, HasSubstr("[Long] " + text + "|\n"));
}

TEST(Log, ConcurrentMessagesStayWhole) {
    constexpr int Threads = 4;
    constexpr int Messages = 200;
    std::string const out = logged(false, [] {
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([t] {
                Logger const logger("T" + std::to_string(t));
                for (int i = 0; i < Messages; ++i) {
                    logger.log(Log::Level::Info, "message %d of thread %d", i, t);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    std::istringstream lines(out);
    std::regex const whole(std::string(Ident) + ": " + StampPattern +
                           R"(\[T(\d)\] message \d+ of thread \1)");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(count, Threads * Messages);
}

// The system logger cannot send a longer datagram and would write the line
// to the console instead, holding its lock meanwhile: the line is cut, on a
// character boundary, and says how long it was.
TEST(Log, OverlongMessageIsCutAndSaysItsLength) {
    std::string const euro = "\xE2\x82\xAC";
    std::string const text = std::string(8191, 'a') + euro + std::string(300000, 'b');
    auto const told = [&](std::size_t extra) {
        return "aaaa... (" + std::to_string(text.size() + extra) + " bytes)\n";
    };
    struct Case {
        char const* entry;
        std::function<void()> action;
        std::string tail;
    };
    for (Case const& c : std::vector<Case>{
             {"format", [&] { Log::info("%s%s", text.c_str(), "!"); }, told(1)},
             {"finished text", [&] { Log::print(Log::Level::Info, text); }, told(0)},
             {"named", [&] { Logger("N").log(Log::Level::Info, "%s", text.c_str()); }, told(4)}}) {
        SCOPED_TRACE(c.entry);
        std::string const out = logged(false, c.action);
        EXPECT_LT(out.size(), 8300u);
        EXPECT_THAT(out, testing::EndsWith(c.tail));
        EXPECT_EQ(out.find(euro.substr(0, 1)), std::string::npos);
    }
}

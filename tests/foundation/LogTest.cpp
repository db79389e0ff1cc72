#include "foundation/Log.h"
#include "foundation/Logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// Opens the log with its copy on standard error and returns what the action
// wrote there. The mask is reset so that every test starts with all levels on.
std::string logged(bool colors, std::function<void()> const& action) {
    Log::open(Ident, true, colors);
    Log::setLevel(Log::Level::Debug);
    CaptureStderr();
    action();
    return GetCapturedStderr();
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
            logged(true, [&] { Log::print(levelOf(c.level), "value %d of %s", 7, "x"); });
        std::string const stamp = out.substr(0, out.find(']') + 2);
        EXPECT_TRUE(std::regex_match(stamp, std::regex(std::string(Ident) + ": " + StampPattern)))
            << out;
        EXPECT_EQ(out.substr(stamp.size()), c.opening + "value 7 of x" + Default + "\n");
    }
}

TEST(Log, ValueOutsideLevelsHasNoOpeningEscapeButIsClosed) {
    std::string const out = logged(true, [] { Log::print(levelOf(7), "odd"); });
    EXPECT_THAT(out, testing::MatchesRegex(".*\\] odd\033\\[39m\n"));
}

TEST(Log, WithoutColoursStampIsFollowedByText) {
    std::string const out = logged(false, [] { Log::info("plain %u", 3u); });
    EXPECT_TRUE(
        std::regex_match(out, std::regex(std::string(Ident) + ": " + StampPattern + "plain 3\n")))
        << out;
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
    std::string const out = logged(true, [] {
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
    std::string const out = logged(true, [] {
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
            logged(true, [&] { logger.log(Log::Level::Info, "got %d %s", 5, "ok"); });
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

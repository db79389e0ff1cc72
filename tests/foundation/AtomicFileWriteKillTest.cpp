// A writer killed at any moment leaves the file either as it was or as it
// was meant to be, never truncated or mixed, and at most one temporary
// beside it.
#include "foundation/AtomicFile.h"
#include "support/ScratchDir.h"
#include "support/WriteKiller.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

namespace {

using testsupport::ScratchDir;
using testsupport::WriteKiller;

constexpr int Kills = 200;
constexpr std::chrono::seconds Budget{150};

// Large enough that one write takes several system calls' time.
std::string largeFile(char fill) {
    std::string bytes(256 * 1024, fill);
    for (size_t i = 0; i < bytes.size(); i += 97) {
        bytes[i] = static_cast<char>(i);
    }
    return bytes;
}

TEST(AtomicFileWriteKill, FileIsAlwaysTheOldOrTheNewContent) {
    struct Case {
        char const* name;
        std::array<std::string, 2> contents;
    };
    Case const cases[] = {
        {"console-version", {"017\n", "0123\n"}},
        {"fetched.bin", {largeFile('a'), largeFile('b')}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string const path = dir.path(c.name);
        std::string const alone = c.name;
        std::string const withTemporary = alone + " " + alone + ".tmp";
        WriteKiller killer([&](int i) { AtomicFile::write(path, c.contents[i % 2]); },
                           [&]() -> std::string {
                               std::string const now = dir.read(c.name);
                               if (now != c.contents[0] && now != c.contents[1]) {
                                   return "file holds " + std::to_string(now.size()) +
                                          " bytes of neither content";
                               }
                               std::string const listing = dir.listing();
                               if (listing != alone && listing != withTemporary) {
                                   return "the directory holds " + listing;
                               }
                               return "";
                           });
        WriteKiller::Outcome const outcome = killer.run(Kills, Budget);
        EXPECT_EQ(outcome.fault, "");
        EXPECT_EQ(outcome.kills, Kills) << "the time ran out, or the child ended before its kill";
    }
}

} // namespace

#include "foundation/AtomicFile.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

// Every flush this test program asks for, counted on its way to the kernel.
std::atomic<int> flushes{0};

} // namespace

// Linked before the C library's: AtomicFile's flushes land here.
extern "C" int fsync(int fd) {
    ++flushes;
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

using testsupport::ScratchDir;

int modeOf(std::string const& file) {
    struct stat info;
    return ::lstat(file.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// The umask of the process while a test runs, restored afterwards.
class Umask {
public:
    explicit Umask(mode_t mask) : previous(::umask(mask)) {}
    ~Umask() { ::umask(previous); }
    Umask(Umask const&) = delete;
    Umask& operator=(Umask const&) = delete;

private:
    mode_t const previous;
};

TEST(AtomicFile, ReplacesTheContentWholeAndLeavesOnlyTheFile) {
    ScratchDir dir;
    std::string const path = dir.path("state");
    std::string const contents[] = {"first\n", std::string(200000, 'x'), "", "last"};
    for (std::string const& content : contents) {
        ASSERT_TRUE(AtomicFile::write(path, content));
        EXPECT_EQ(dir.read("state"), content);
        EXPECT_EQ(dir.listing(), "state");
    }
    std::string const bytes("a\0b\xff", 4);
    ASSERT_TRUE(AtomicFile::write(path, bytes));
    EXPECT_EQ(dir.read("state"), bytes);
}

// The file gets the mode asked for, whatever the file it replaces or a
// temporary left by a crash had.
TEST(AtomicFile, NewFileHasTheModeAskedFor) {
    Umask const mask(022);
    struct Case {
        char const* name;
        mode_t mode;
        int oldMode;       // of the file replaced; 0: no file yet
        int temporaryMode; // of a left temporary; 0: none
    };
    Case const cases[] = {
        {"new private file", 0600, 0, 0},
        {"new shared file", 0644, 0, 0},
        {"shared file made private", 0600, 0644, 0},
        {"private file made shared", 0644, 0600, 0},
        {"left temporary readable by all", 0600, 0600, 0666},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string const path = dir.path("config.json");
        if (c.oldMode != 0) {
            ::chmod(dir.write("config.json", "old").c_str(), c.oldMode);
        }
        if (c.temporaryMode != 0) {
            ::chmod(dir.write("config.json.tmp", "half a wr").c_str(), c.temporaryMode);
        }
        ASSERT_TRUE(AtomicFile::write(path, "{}", c.mode));
        EXPECT_EQ(dir.read("config.json"), "{}");
        EXPECT_EQ(modeOf(path), static_cast<int>(c.mode));
        EXPECT_EQ(dir.listing(), "config.json");
    }
}

ino_t inodeOf(std::string const& file) {
    struct stat info;
    return ::lstat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A file that already is what the write would make is left in place (the
// same inode); anything that differs from it is replaced as ever.
TEST(AtomicFile, FileAlreadyWrittenIsKept) {
    Umask const mask(022);
    struct Case {
        char const* name;
        std::function<void(ScratchDir const&)> prepare; // makes "state" and what lies beside it
        bool kept;
        std::string listing;
    };
    auto const file = [](char const* content, mode_t mode) {
        return [content, mode](ScratchDir const& dir) {
            ::chmod(dir.write("state", content).c_str(), mode);
        };
    };
    Case const cases[] = {
        {"same content and mode", file("{}", 0644), true, "state"},
        {"other content", file("{\"a\"}", 0644), false, "state"},
        {"same content, other mode", file("{}", 0600), false, "state"},
        {"same content, a second link",
         [](ScratchDir const& dir) {
             ::link(dir.write("other", "{}").c_str(), dir.path("state").c_str());
         },
         false, "other state"},
        {"a link to a file of that content",
         [](ScratchDir const& dir) {
             ::symlink(dir.write("other", "{}").c_str(), dir.path("state").c_str());
         },
         false, "other state"},
        {"same content, a temporary beside it",
         [](ScratchDir const& dir) {
             dir.write("state", "{}");
             dir.write("state.tmp", "half a wr");
         },
         false, "state"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        c.prepare(dir);
        std::string const path = dir.path("state");
        ino_t const before = inodeOf(path);

        ASSERT_TRUE(AtomicFile::write(path, "{}"));

        EXPECT_EQ(inodeOf(path) == before, c.kept);
        EXPECT_EQ(dir.read("state"), "{}");
        EXPECT_EQ(modeOf(path), 0644);
        EXPECT_EQ(dir.listing(), c.listing);
    }
}

// Saving the same state again waits for the disk only when the file may not
// be on it as it is: a file this process wrote and flushed, untouched since,
// is not flushed again (a save per board brought up cost a flush each); one
// that someone else wrote or changed is, as ever.
TEST(AtomicFile, FileFlushedByThisProcessIsNotFlushedAgain) {
    Umask const mask(022);
    struct Case {
        char const* name;
        std::function<void(ScratchDir const&, std::string const&)> prepare;
        int flushes; // by the write of "{}" that follows
    };
    auto const written = [](char const* content) {
        return [content](ScratchDir const&, std::string const& path) {
            ASSERT_TRUE(AtomicFile::write(path, content));
        };
    };
    // Past the file system's clock step, so that a change shows in the file's times.
    auto const later = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
    Case const cases[] = {
        {"written here, untouched", written("{}"), 0},
        {"written here with other content", written("{\"a\":1}"), 2},
        {"left by someone else",
         [](ScratchDir const& dir, std::string const&) { dir.write("state", "{}"); }, 1},
        {"written here, then rewritten in place with the same content",
         [&](ScratchDir const& dir, std::string const& path) {
             ASSERT_TRUE(AtomicFile::write(path, "{}"));
             later();
             dir.write("state", "{}");
         },
         1},
        {"written here, then replaced by a copy of the same content",
         [&](ScratchDir const& dir, std::string const& path) {
             ASSERT_TRUE(AtomicFile::write(path, "{}"));
             later();
             ASSERT_EQ(std::rename(dir.write("copy", "{}").c_str(), path.c_str()), 0);
         },
         1},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string const path = dir.path("state");
        c.prepare(dir, path);

        flushes = 0;
        ASSERT_TRUE(AtomicFile::write(path, "{}"));
        EXPECT_EQ(flushes, c.flushes);
        // Whichever way it got there, the file is now known to be on disk.
        flushes = 0;
        ASSERT_TRUE(AtomicFile::write(path, "{}"));
        EXPECT_EQ(flushes, 0);
        EXPECT_EQ(dir.read("state"), "{}");
        EXPECT_EQ(dir.listing(), "state");
    }
}

// A link standing where the temporary goes is not written through: the file
// it points at stays as it was.
TEST(AtomicFile, LinkInPlaceOfTheTemporaryIsNotFollowed) {
    ScratchDir dir;
    std::string const other = dir.write("other", "not to be touched");
    std::string const path = dir.path("state");
    ASSERT_EQ(::symlink(other.c_str(), (path + ".tmp").c_str()), 0);

    ASSERT_TRUE(AtomicFile::write(path, "new"));

    EXPECT_EQ(dir.read("other"), "not to be touched");
    EXPECT_EQ(dir.read("state"), "new");
    struct stat info;
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(dir.listing(), "other state");
}

// A failed write gives false and errno, keeps what was there and leaves no
// temporary behind.
TEST(AtomicFile, FailedWriteKeepsTheOldFile) {
    struct Case {
        char const* name;
        std::function<void(ScratchDir const&)> prepare;
        std::string target; // inside the scratch directory
        int error;
        std::string listing; // of the scratch directory afterwards
    };
    Case const cases[] = {
        {"directory missing", [](ScratchDir const&) {}, "missing/state", ENOENT, ""},
        {"a directory in the file's place",
         [](ScratchDir const& dir) {
             ::mkdir(dir.path("state").c_str(), 0755);
             dir.write("state/inside", "kept");
         },
         "state", EISDIR, "state"},
        {"a directory in the temporary's place",
         [](ScratchDir const& dir) {
             dir.write("state", "old");
             ::mkdir(dir.path("state.tmp").c_str(), 0755);
             dir.write("state.tmp/inside", "kept");
         },
         "state", EEXIST, "state state.tmp"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        c.prepare(dir);
        std::string const before = dir.read(c.target);
        errno = 0;
        EXPECT_FALSE(AtomicFile::write(dir.path(c.target), "new"));
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(dir.read(c.target), before);
        EXPECT_EQ(dir.listing(), c.listing);
    }
}

// Replacing someone else's file: the file a link names is replaced and the
// link stays; an existing file keeps its mode; what is no regular file, or
// a chain of links that never ends, is refused untouched.
TEST(AtomicFile, ReplaceWritesTheFileItIsAndRefusesWhatItCannotBe) {
    Umask const mask(022);
    struct Case {
        char const* name;
        std::function<void(ScratchDir const&)> prepare;
        char const* path;    // replaced, inside the scratch directory
        char const* written; // the file that holds the new content, or nullptr when refused
        int mode;            // of the written file
        int error;           // when refused
    };
    Case const cases[] = {
        {"new file", [](ScratchDir const&) {}, "state", "state", 0644, 0},
        {"private file",
         [](ScratchDir const& d) { ::chmod(d.write("state", "old").c_str(), 0600); }, "state",
         "state", 0600, 0},
        {"absolute link",
         [](ScratchDir const& d) {
             ::chmod(d.write("target", "old").c_str(), 0640);
             ::symlink(d.path("target").c_str(), d.path("state").c_str());
         },
         "state", "target", 0640, 0},
        {"relative link to a link",
         [](ScratchDir const& d) {
             ::mkdir(d.path("sub").c_str(), 0755);
             d.write("sub/target", "old");
             ::symlink("target", d.path("sub/inner").c_str());
             ::symlink("sub/inner", d.path("state").c_str());
         },
         "state", "sub/target", 0644, 0},
        {"directory", [](ScratchDir const& d) { ::mkdir(d.path("state").c_str(), 0755); }, "state",
         nullptr, 0, EISDIR},
        {"named pipe", [](ScratchDir const& d) { ::mkfifo(d.path("state").c_str(), 0600); },
         "state", nullptr, 0, ENXIO},
        {"link loop", [](ScratchDir const& d) { ::symlink("state", d.path("state").c_str()); },
         "state", nullptr, 0, ELOOP},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        c.prepare(dir);
        std::string const before = dir.listing();
        std::string const path = dir.path(c.path);
        EXPECT_EQ(AtomicFile::replaceable(path), c.written != nullptr);
        errno = 0;
        EXPECT_EQ(AtomicFile::replace(path, "new"), c.written != nullptr);
        if (c.written == nullptr) {
            EXPECT_EQ(errno, c.error);
            EXPECT_EQ(dir.listing(), before);
            continue;
        }
        EXPECT_EQ(dir.read(c.written), "new");
        EXPECT_EQ(modeOf(dir.path(c.written)), c.mode);
        struct stat link {};
        ASSERT_EQ(::lstat(path.c_str(), &link), 0);
        EXPECT_EQ(S_ISLNK(link.st_mode), std::string(c.path) != c.written);
    }
}

} // namespace

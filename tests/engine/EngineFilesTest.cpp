#include "support/EngineEvents.h"
#include "support/EngineFixture.h"

#include "bus/Protocol.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace enginetest {
namespace {

namespace Protocol = velt::ZRV480::Bus::Protocol;
using boardsim::Filter;

constexpr uint8_t Misc = static_cast<uint8_t>(Protocol::Command::Misc);
Filter const FileRequests{Main, Misc, Protocol::Misc::Files};
Filter const FileWrites{Main, Misc, Protocol::Misc::Files, Protocol::File::Write};
Filter const FileReads{Main, Misc, Protocol::Misc::Files, Protocol::File::Read};

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 % 251);
    }
    return bytes;
}

std::string text(std::vector<uint8_t> const& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The names in a directory, "." and ".." left out.
std::vector<std::string> entries(std::string const& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent const* entry = ::readdir(dir)) {
            std::string const name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    return names;
}

class FileTransfers : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        bringOnline(Main);
        ASSERT_EQ(::mkdir(local().c_str(), 0755), 0);
    }

    // A directory of local files of its own.
    std::string local() const { return machine.dir.path("local"); }
    std::string local(std::string const& name) const { return local() + "/" + name; }
};

TEST_F(FileTransfers, SentAndFetchedFilesArriveWhole) {
    std::vector<uint8_t> const bytes = pattern(1000); // eight segments
    std::string const source = machine.dir.write("local/source.bin", text(bytes));
    EngineEvents events(*engine);

    ASSERT_EQ(engine->mainFileTransmit(source, "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(events.waitFor("transmitFinished 0", 1));
    EXPECT_EQ(machine.sim.file("remote.bin"), bytes);
    EXPECT_EQ(events.count("transmitProgress 100"), 1u);

    // Fetched over an older file of the same name.
    machine.dir.write("local/fetched.bin", "older");
    ASSERT_EQ(engine->mainFileReceive(local("fetched.bin"), "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(events.waitFor("receiveFinished 0", 1));
    EXPECT_EQ(machine.dir.read("local/fetched.bin"), text(bytes));
    EXPECT_EQ(events.count("receiveProgress 100"), 1u);
    EXPECT_EQ(entries(local()).size(), 2u); // nothing left beside them
}

TEST_F(FileTransfers, AFailedFetchLeavesTheLocalFileAsItWas) {
    machine.sim.putFile("remote.bin", pattern(600));
    machine.sim.addRule({FileReads, boardsim::Action::errorReply(0x86)});
    machine.dir.write("local/keep.txt", "old content");
    EngineEvents events(*engine);

    ASSERT_EQ(engine->mainFileReceive(local("keep.txt"), "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(events.waitFor("receiveFinished 106", 1));
    // A file that did not exist is not left behind either.
    ASSERT_EQ(engine->mainFileReceive(local("new.txt"), "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(events.waitFor("receiveFinished 106", 2));
    EXPECT_EQ(machine.dir.read("local/keep.txt"), "old content");
    EXPECT_EQ(entries(local()), std::vector<std::string>{"keep.txt"});
}

TEST_F(FileTransfers, AFetchedFileKeepsItsOldContentUntilTheTransferCompletes) {
    std::vector<uint8_t> const bytes = pattern(600); // five segments
    machine.sim.putFile("remote.bin", bytes);
    // The last segment's reply waits until released.
    boardsim::Rule hold{Filter{Main, Misc, Protocol::Misc::Files, Protocol::File::Read, 5},
                        boardsim::Action::held()};
    hold.times = 1;
    machine.sim.addRule(hold);
    machine.dir.write("local/fetched.bin", "old content");
    EngineEvents events(*engine);

    ASSERT_EQ(engine->mainFileReceive(local("fetched.bin"), "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(machine.sim.waitFor(hold.match, 1, 2000));
    EXPECT_EQ(machine.dir.read("local/fetched.bin"), "old content");

    machine.sim.release();
    ASSERT_TRUE(events.waitFor("receiveFinished 0", 1));
    EXPECT_EQ(machine.dir.read("local/fetched.bin"), text(bytes));
}

TEST_F(FileTransfers, OnlyARegularFileReadWholeIsSent) {
    std::string const big = local("big.bin"); // sparse: no disk space used
    ASSERT_EQ(::truncate(machine.dir.write("local/big.bin", "").c_str(), int64_t(1) << 32), 0);
    struct Case {
        std::string path;
        ErrorCode expected;
    };
    std::string const pipe = local("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::vector<Case> cases{
        {local("missing.bin"), ErrorCode::FileNotFound},
        {local(), ErrorCode::FileSizeError},
        {pipe, ErrorCode::FileSizeError}, // refused without waiting for a writer
        {big, ErrorCode::FileSizeError}};
    // Its size says 4096 bytes, its content is a few: a short read.
    std::string const shortFile = "/sys/devices/system/cpu/online";
    if (::access(shortFile.c_str(), R_OK) == 0) {
        cases.push_back({shortFile, ErrorCode::FileSizeError});
    }
    EngineEvents events(*engine);
    for (Case const& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(engine->mainFileTransmit(c.path, "remote.bin"), c.expected);
    }
    EXPECT_EQ(machine.sim.requestCount(FileRequests), 0u);
    EXPECT_TRUE(events.all().empty());
}

TEST_F(FileTransfers, AFetchThatCannotWriteLocallyIsRefusedAtOnce) {
    EngineEvents events(*engine);
    EXPECT_EQ(engine->mainFileReceive(local("no/such/dir.bin"), "remote.bin"),
              ErrorCode::FileInternalError);
    EXPECT_EQ(engine->mainFileReceive(local(), "remote.bin"), ErrorCode::FileInternalError);
    EXPECT_EQ(machine.sim.requestCount(FileRequests), 0u);
    EXPECT_TRUE(events.all().empty());
}

TEST_F(FileTransfers, AFetchedFileReplacesTheTargetAsTheFileItIs) {
    std::vector<uint8_t> const bytes = pattern(300);
    machine.sim.putFile("remote.bin", bytes);
    // A link to a file elsewhere, and a file closed to others.
    std::string const elsewhere = machine.dir.write("elsewhere.bin", "older");
    ASSERT_EQ(::symlink(elsewhere.c_str(), local("link.bin").c_str()), 0);
    std::string const own = machine.dir.write("local/own.bin", "older");
    ASSERT_EQ(::chmod(own.c_str(), 0600), 0);
    EngineEvents events(*engine);

    ASSERT_EQ(engine->mainFileReceive(local("link.bin"), "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(events.waitFor("receiveFinished 0", 1));
    ASSERT_EQ(engine->mainFileReceive(own, "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(events.waitFor("receiveFinished 0", 2));

    struct stat info {};
    ASSERT_EQ(::lstat(local("link.bin").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(machine.dir.read("elsewhere.bin"), text(bytes));
    ASSERT_EQ(::stat(own.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(machine.dir.read("local/own.bin"), text(bytes));
}

// The effective user of the process is "nobody" while it lives, when the
// tests run as root; false when that cannot be had.
class Unprivileged {
public:
    static constexpr uid_t Nobody = 65534;
    Unprivileged() : switched(::geteuid() == 0 && ::seteuid(Nobody) == 0) {}
    ~Unprivileged() {
        if (switched) {
            EXPECT_EQ(::seteuid(0), 0);
        }
    }
    Unprivileged(Unprivileged const&) = delete;
    Unprivileged& operator=(Unprivileged const&) = delete;
    bool held() const { return ::geteuid() != 0; }

private:
    bool const switched;
};

TEST_F(FileTransfers, AFetchIsRefusedATargetThatMayNotBeWritten) {
    // The directory would let a file be renamed over it; the file says no.
    ASSERT_EQ(::chmod(machine.dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(local().c_str(), 0777), 0);
    std::string const readOnly = machine.dir.write("local/readonly.bin", "kept");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    machine.sim.putFile("remote.bin", pattern(10));
    EngineEvents events(*engine);
    {
        Unprivileged const user;
        if (!user.held()) {
            GTEST_SKIP() << "needs a user that file modes apply to";
        }
        EXPECT_EQ(engine->mainFileReceive(readOnly, "remote.bin"), ErrorCode::FileInternalError);
    }
    EXPECT_EQ(machine.dir.read("local/readonly.bin"), "kept");
    EXPECT_EQ(machine.sim.requestCount(FileRequests), 0u);
    EXPECT_TRUE(events.all().empty());
}

TEST_F(FileTransfers, ASecondTransferWhileOneRunsFinishesWithFileLimit) {
    std::string const source = machine.dir.write("local/source.bin", text(pattern(1000)));
    // The first data segment's reply waits until released.
    boardsim::Rule hold{Filter{Main, Misc, Protocol::Misc::Files, Protocol::File::Write, 1},
                        boardsim::Action::held()};
    hold.times = 1;
    machine.sim.addRule(hold);
    EngineEvents events(*engine);

    ASSERT_EQ(engine->mainFileTransmit(source, "first.bin"), ErrorCode::Success);
    ASSERT_TRUE(machine.sim.waitFor(hold.match, 1, 2000));
    EXPECT_EQ(engine->mainFileTransmit(source, "second.bin"), ErrorCode::Success);
    EXPECT_TRUE(events.waitFor("transmitFinished 71", 1));
    uint32_t size = 0;
    Engine::Md5 md5{};
    EXPECT_EQ(engine->mainFileChecksum("first.bin", size, md5), ErrorCode::FileLimit);

    machine.sim.release();
    EXPECT_TRUE(events.waitFor("transmitFinished 0", 1));
    EXPECT_EQ(machine.sim.file("first.bin"), pattern(1000));
    EXPECT_FALSE(machine.sim.file("second.bin").has_value());
}

TEST_F(FileTransfers, StopWaitsForTheTransferWorkers) {
    std::string const source = machine.dir.write("local/source.bin", text(pattern(1000)));
    boardsim::Rule hold{FileWrites, boardsim::Action::held()};
    machine.sim.addRule(hold);
    engine->running = true; // started as far as stop is concerned
    EngineEvents events(*engine);

    ASSERT_EQ(engine->mainFileTransmit(source, "remote.bin"), ErrorCode::Success);
    ASSERT_TRUE(machine.sim.waitFor(FileWrites, 1, 2000));
    engine->stop();
    // The worker's requests failed once the bus layer stopped, and it was
    // over before stop announced the stop.
    std::vector<std::string> const all = events.all();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.back(), "stopped");
    EXPECT_EQ(all[all.size() - 2].rfind("transmitFinished ", 0), 0u) << all[all.size() - 2];
    EXPECT_EQ(events.count("transmitFinished 0"), 0u);
}

} // namespace
} // namespace enginetest

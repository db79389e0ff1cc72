#include "bus/Helpers.h"

#include "foundation/Variant.h"
#include "foundation/VariantMap.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

using velt::ZRV480::Bus::Common::ErrorCode;
using velt::ZRV480::Bus::Common::getProjectVersion;
using velt::ZRV480::Bus::Common::Helpers;

namespace {

TEST(HexStrTest, EmptyDataGivesEmptyText) {
    EXPECT_EQ(Helpers::hexStr(std::vector<uint8_t>{}, true), "");
    EXPECT_EQ(Helpers::hexStr(std::vector<uint8_t>{}, false), "");
}

TEST(HexStrTest, TwoLowerCaseZeroFilledDigitsPerByte) {
    const std::vector<uint8_t> bytes{0x01, 0xAB, 0x0A, 0xFF, 0x00};
    EXPECT_EQ(Helpers::hexStr(bytes, true), "01 ab 0a ff 00 ");
    EXPECT_EQ(Helpers::hexStr(bytes, false), "01ab0aff00");
}

TEST(HexStrTest, DigestArraySpaced) {
    std::array<uint8_t, 16> digest{};
    for (size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<uint8_t>(i);
    }
    const std::string text = Helpers::hexStr(digest, true);
    EXPECT_EQ(text, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ");
    EXPECT_EQ(text.size(), 48u);
}

using FileReadTest = bustest::TempDir;

TEST_F(FileReadTest, ReadsWholeFileReplacingWhatOutHeld) {
    std::vector<uint8_t> bytes(10, 0xEE);
    EXPECT_EQ(Helpers::fileToVector(write("three", std::string("a\0c", 3)), bytes),
              ErrorCode::Success);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'a', 0, 'c'}));

    std::string text = "previous content";
    EXPECT_EQ(Helpers::fileToStr(write("text", std::string("xyz")), text), ErrorCode::Success);
    EXPECT_EQ(text, "xyz");
}

TEST_F(FileReadTest, EmptyFileGivesEmptyContent) {
    std::vector<uint8_t> bytes(4, 1);
    EXPECT_EQ(Helpers::fileToVector(write("empty", std::string()), bytes), ErrorCode::Success);
    EXPECT_TRUE(bytes.empty());
}

TEST_F(FileReadTest, MissingFileLeavesOutUntouched) {
    std::vector<uint8_t> bytes{1, 2};
    std::string text = "kept";
    EXPECT_EQ(Helpers::fileToVector(dir + "/missing", bytes), ErrorCode::FileNotFound);
    EXPECT_EQ(Helpers::fileToStr(dir + "/missing", text), ErrorCode::FileNotFound);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(text, "kept");
}

// Files whose size cannot be taken, or that deliver fewer bytes than their
// size says, are refused rather than returned cut short.
TEST_F(FileReadTest, UnreadableSizeOrShortReadIsASizeError) {
    const std::string cases[] = {
        dir,                                           // a directory: no sensible size
        "/proc/self/status",                           // size query fails
        "/sys/kernel/mm/transparent_hugepage/enabled", // says 4096, delivers less
        "/sys/devices/system/cpu/online",              // the same, on every Linux
    };
    for (std::string const& path : cases) {
        if (access(path.c_str(), R_OK) != 0) {
            continue;
        }
        std::vector<uint8_t> bytes{7};
        std::string text = "kept";
        EXPECT_EQ(Helpers::fileToVector(path, bytes), ErrorCode::FileSizeError) << path;
        EXPECT_EQ(Helpers::fileToStr(path, text), ErrorCode::FileSizeError) << path;
        EXPECT_EQ(bytes, std::vector<uint8_t>{7}) << path;
        EXPECT_EQ(text, "kept") << path;
    }
}

// This program's file, links resolved, as the kernel knows it.
std::string executablePath() {
    char self[PATH_MAX] = {};
    return readlink("/proc/self/exe", self, sizeof(self) - 1) > 0 ? self : "";
}

std::string realExecutableDirectory() {
    const std::string path = executablePath();
    return path.substr(0, path.rfind('/'));
}

TEST(ExecutableDirectoryTest, IsTheResolvedDirectoryOfThisProgram) {
    const std::string expected = realExecutableDirectory();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Helpers::getExecutableDirectory(), expected);
}

// This program started again as ./link/<name> from a directory where link
// points at its own directory: the relative, linked start path resolves to
// the real directory. The started copy runs only this test and writes what
// it found to the file named by the environment variable.
using ExecutableDirectoryRestartTest = bustest::TempDir;

TEST_F(ExecutableDirectoryRestartTest, RelativeStartThroughALinkResolves) {
    if (char const* out = std::getenv("BM_EXECUTABLE_DIRECTORY_OUT")) {
        std::ofstream(out) << Helpers::getExecutableDirectory();
        return;
    }
    const std::string expected = realExecutableDirectory();
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(symlink(expected.c_str(), (dir + "/link").c_str()), 0);
    const std::string path = executablePath();
    const std::string start = "./link" + path.substr(path.rfind('/'));
    const std::string out = dir + "/found";
    const std::string filter =
        "--gtest_filter=ExecutableDirectoryRestartTest.RelativeStartThroughALinkResolves";

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (chdir(dir.c_str()) == 0 && setenv("BM_EXECUTABLE_DIRECTORY_OUT", out.c_str(), 1) == 0) {
            execl(start.c_str(), start.c_str(), filter.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream found(out);
    const std::string text((std::istreambuf_iterator<char>(found)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(text, expected);
}

TEST(ThreadPriorityTest, FifoLimitsAndRefusedOutOfRange) {
    EXPECT_EQ(Helpers::threadPriorityMinGet(), 1);
    EXPECT_EQ(Helpers::threadPriorityMaxGet(), 99);
    // An invalid priority is refused with an error number whatever the privilege.
    EXPECT_NE(Helpers::threadPrioritySet(Helpers::threadPriorityMaxGet() + 1), 0);
}

TEST(VariantToJsonTest, ConvertsByTag) {
    using json = nlohmann::json;
    struct Case {
        Variant value;
        json expected;
    };
    const Case cases[] = {
        {Variant(), nullptr},
        {Variant("0x10", Variant::Type::Int), 16},
        {Variant(-5), -5},
        {Variant(18446744073709551615UL), 18446744073709551615ULL},
        {Variant(2.5), 2.5},
        {Variant(true), true},
        {Variant("on", Variant::Type::Bool), true},
        {Variant("12"), "12"},
        {Variant(R"({"a":1})"), R"({"a":1})"}, // a text that reads as JSON stays a text
        {Variant("x", static_cast<Variant::Type>(9)), "x"},
    };
    for (auto const& c : cases) {
        const json actual = Helpers::variantToJson(c.value);
        EXPECT_EQ(actual, c.expected) << c.value.toString();
        EXPECT_EQ(actual.type(), c.expected.type()) << c.value.toString();
    }
    EXPECT_TRUE(Helpers::variantToJson(Variant(1U)).is_number_unsigned());
}

TEST(VariantToJsonTest, MapKeepsFlatKeys) {
    VariantMap map;
    map.set("a/b", Variant(1));
    map.set("c", Variant("x"));
    EXPECT_EQ(Helpers::variantToJson(Variant(map)), (nlohmann::json{{"a/b", 1}, {"c", "x"}}));
    EXPECT_TRUE(Helpers::variantToJson(Variant(VariantMap())).is_null());
}

TEST(ProjectVersionTest, IsTheLibraryVersion) {
    EXPECT_EQ(getProjectVersion(), "3.1.5");
}

} // namespace

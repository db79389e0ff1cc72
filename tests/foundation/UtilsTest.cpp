#include "foundation/Utils.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

using testing::ElementsAre;
using testing::IsEmpty;
using testing::UnorderedElementsAre;

TEST(UtilsPath, CombinePathJoinsWithOneSeparator) {
    struct Case {
        std::string first;
        std::string second;
        std::string expected;
    };
    std::vector<Case> const cases = {
        {"a", "b", "a/b"},    {"a/", "/b", "a/b"}, {"a", "", "a"},   {"", "", ""},
        {"a", "//b", "a//b"}, {"", "/etc", "etc"}, {"/", "b", "/b"}, {"a/", "b", "a/b"},
        {"", "x", "x"},       {"a", "/", "a/"},    {"/", "/", "/"},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(Utils::combinePath(c.first, c.second), c.expected)
            << '"' << c.first << "\" + \"" << c.second << '"';
    }
}

TEST(UtilsPath, SplitsDirectoryNameAndExtension) {
    struct Case {
        std::string path;
        std::string directory;
        std::string file;
        std::string extension;
    };
    std::vector<Case> const cases = {
        {"/file", "", "file", ""},
        {"file.txt", "file.txt", "file.txt", ".txt"},
        {"a\\b.txt", "a", "b.txt", ".txt"},
        {"x/y\\z", "x/y", "z", ""},
        {"conf.d/settings", "conf.d", "settings", ".d/settings"},
        {"dir/", "dir", "", ""},
        {"", "", "", ""},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Utils::getPathFromFilepath(c.path), c.directory);
        EXPECT_EQ(Utils::getFilenameFromFilepath(c.path), c.file);
        EXPECT_EQ(Utils::getFileExtension(c.path), c.extension);
    }
}

TEST(UtilsPath, ChangeFileExtReplacesFromLastDot) {
    EXPECT_EQ(Utils::changeFileExt("conf.d/settings", ".json"), "conf.json");
    EXPECT_EQ(Utils::changeFileExt("a/b.txt", ".bin"), "a/b.bin");
    EXPECT_EQ(Utils::changeFileExt("noext", ".json"), "noext.json");
    EXPECT_EQ(Utils::changeFileExt("x.tar.gz", ""), "x.tar");
}

TEST(UtilsMatch, GlobTable) {
    struct Case {
        std::string text;
        std::string pattern;
        bool expected;
    };
    std::vector<Case> const cases = {
        {"ab", "ab*c", true},
        {"abc", "*bc*d", true},
        {"abc", "a?c", true},
        {"a", "a?", false},
        {"abc", "*b?", true},
        {"abcd", "*b*d", true},
        {"a.bin", "*.bin", true},
        {"a.bi", "*.bin", false},
        {"a.bin.txt", "*.bin", false},
        {"a", "a*", true},
        {"abc", "a*", true},
        {"", "", true},
        {"a", "", false},
        {"", "*", true},
        {"", "?", false},
        {"ABC", "abc", false},
        {"abc", "abd", false},
        {"abc", "ab", false},
        {"x.bin", "?.bin", true},
        {"xy.bin", "?.bin", false},
        {"aXbXc", "a*b*c", true},
        {"abcd", "*c", false},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(Utils::match(c.text, c.pattern), c.expected)
            << '"' << c.text << "\" against \"" << c.pattern << '"';
    }
}

namespace {

// A scratch directory removed with everything in it when the test ends.
class UtilsFiles : public testing::Test {
protected:
    std::string path(std::string const& name) const { return scratch.path(name); }
    void touch(std::string const& name) const { scratch.write(name, "x"); }

    testsupport::ScratchDir const scratch;
    std::string const root = scratch.path();
};

} // namespace

TEST_F(UtilsFiles, ListingSeparatesFilesFromDirectoriesAndSkipsHidden) {
    touch("a.bin");
    touch("b.txt");
    touch(".c.bin");
    ASSERT_EQ(mkdir(path("d.bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path(".hidden").c_str(), 0755), 0);
    ASSERT_EQ(symlink(path("d.bin").c_str(), path("link").c_str()), 0);
    ASSERT_EQ(symlink(path("missing").c_str(), path("dangling.bin").c_str()), 0);

    EXPECT_THAT(Utils::listFiles(root, "*.bin"), ElementsAre(path("a.bin")));
    EXPECT_THAT(Utils::listFiles(root, ""), UnorderedElementsAre(path("a.bin"), path("b.txt")));
    EXPECT_THAT(Utils::listDirectories(root, ""),
                UnorderedElementsAre(path("d.bin"), path("link")));
    EXPECT_THAT(Utils::listDirectories(root, "*.bin"), ElementsAre(path("d.bin")));
    // A directory given with a trailing '/' still yields single separators.
    EXPECT_THAT(Utils::listFiles(root + "/", "a*"), ElementsAre(path("a.bin")));
}

TEST_F(UtilsFiles, ListingInDirAppendsAndFailsWithoutTouchingTheList) {
    touch("new");
    std::list<std::string> files = {"kept"};
    EXPECT_FALSE(Utils::listFilesInDir(path("missing"), files, ""));
    EXPECT_THAT(files, ElementsAre("kept"));
    EXPECT_TRUE(Utils::listFilesInDir(root, files, ""));
    EXPECT_THAT(files, ElementsAre("kept", path("new")));

    std::list<std::string> directories = {"kept"};
    EXPECT_FALSE(Utils::listDirectoriesInDir(path("new"), directories, ""));
    EXPECT_THAT(directories, ElementsAre("kept"));
    EXPECT_THAT(Utils::listFiles(path("missing"), ""), IsEmpty());
    EXPECT_THAT(Utils::listDirectories(root, ""), IsEmpty());
}

TEST_F(UtilsFiles, ExistenceAndLinks) {
    touch("file");
    ASSERT_EQ(symlink("file", path("link").c_str()), 0);

    EXPECT_TRUE(Utils::fileExists(path("file")));
    EXPECT_TRUE(Utils::fileExists(root));
    EXPECT_FALSE(Utils::fileExists(path("missing")));

    EXPECT_FALSE(Utils::pathExists(path("file")));
    EXPECT_TRUE(Utils::pathExists(root));
    EXPECT_FALSE(Utils::pathExists(path("missing")));

    EXPECT_TRUE(Utils::isSymlink(path("link")));
    EXPECT_FALSE(Utils::isSymlink(path("file")));
    EXPECT_FALSE(Utils::isSymlink(path("missing")));

    EXPECT_EQ(Utils::readSymlink(path("link")), "file");
    EXPECT_EQ(Utils::readSymlink(path("file")), path("file"));
    EXPECT_EQ(Utils::readSymlink(path("missing")), path("missing"));
}

TEST_F(UtilsFiles, MoveAndDelete) {
    touch("from");
    EXPECT_TRUE(Utils::moveFile(path("from"), path("to")));
    EXPECT_FALSE(Utils::fileExists(path("from")));
    EXPECT_TRUE(Utils::fileExists(path("to")));
    EXPECT_FALSE(Utils::moveFile(path("from"), path("other")));

    EXPECT_TRUE(Utils::deleteFile(path("to")));
    EXPECT_FALSE(Utils::fileExists(path("to")));
    EXPECT_FALSE(Utils::deleteFile(path("to")));
}

TEST_F(UtilsFiles, MakePathCreatesEveryLevelWithoutAShell) {
    EXPECT_TRUE(Utils::makePath(path("a/b/c")));
    EXPECT_TRUE(Utils::pathExists(path("a/b/c")));
    // Existing directories, a trailing '/' and doubled separators are fine.
    EXPECT_TRUE(Utils::makePath(path("a/b")));
    EXPECT_TRUE(Utils::makePath(path("a//d/")));
    EXPECT_TRUE(Utils::pathExists(path("a/d")));

    // Shell syntax is an ordinary name, never a command.
    std::string const odd = path("x;touch " + root + "/injected $(id) 'q'");
    EXPECT_TRUE(Utils::makePath(odd));
    EXPECT_TRUE(Utils::pathExists(odd));
    EXPECT_FALSE(Utils::fileExists(path("injected")));

    touch("file");
    EXPECT_FALSE(Utils::makePath(path("file")));
    EXPECT_FALSE(Utils::makePath(path("file/sub")));
    EXPECT_FALSE(Utils::makePath(""));
}

TEST(UtilsProcess, AppPathIsTheExecutablesDirectory) {
    char* executable = realpath("/proc/self/exe", nullptr);
    ASSERT_NE(executable, nullptr);
    std::string const expected = Utils::getPathFromFilepath(executable);
    std::free(executable);

    EXPECT_EQ(Utils::getAppPath(), expected);
    EXPECT_EQ(Utils::getAppPath(), expected); // the executed path is left intact

    char* before = getcwd(nullptr, 0);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(Utils::changeToAppPath(), expected);
    char* now = getcwd(nullptr, 0);
    EXPECT_EQ(std::string(now), expected);
    std::free(now);
    EXPECT_EQ(chdir(before), 0);
    std::free(before);
}

TEST(UtilsProcess, ProcessIdIsDecimal) {
    EXPECT_EQ(Utils::getProcessId(), std::to_string(getpid()));
}

TEST(UtilsBytes, DecToBCDGivesOneDigitPerByte) {
    EXPECT_THAT(Utils::decToBCD(1234), ElementsAre(1, 2, 3, 4));
    EXPECT_THAT(Utils::decToBCD(0), ElementsAre(0));
    EXPECT_THAT(Utils::decToBCD(907), ElementsAre(9, 0, 7));
    EXPECT_THAT(Utils::decToBCD(-5), IsEmpty());
    EXPECT_THAT(Utils::decToBCD(INT_MAX), ElementsAre(2, 1, 4, 7, 4, 8, 3, 6, 4, 7));
}

TEST(UtilsBytes, PrintVectorDumpsSixteenPerLine) {
    struct Case {
        std::vector<unsigned char> bytes;
        std::string expected;
    };
    std::vector<unsigned char> seventeen(17);
    for (std::size_t i = 0; i < seventeen.size(); ++i) {
        seventeen[i] = static_cast<unsigned char>(i);
    }
    std::string sixteenBlanks;
    for (int i = 0; i < 16; ++i) {
        sixteenBlanks += "20 ";
    }
    std::vector<Case> const cases = {
        {{1, 0xAB, 0xFF}, "Size : 3\n01 ab ff \n"},
        {seventeen, "Size : 17\n00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n10 \n"},
        {std::vector<unsigned char>(16, 0x20), "Size : 16\n" + sixteenBlanks + "\n"},
        {{}, "Size : 0\n\n"},
    };
    for (Case const& c : cases) {
        std::ostringstream stream;
        stream << std::hex; // whatever the stream's mode, the size is decimal
        EXPECT_EQ(&Utils::printVector(c.bytes, stream), &stream);
        EXPECT_EQ(stream.str(), c.expected);
        stream.str("");
        stream << 26;
        EXPECT_EQ(stream.str(), "26"); // left in decimal
    }
}

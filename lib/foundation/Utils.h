#pragma once

#include <list>
#include <ostream>
#include <string>
#include <vector>

// Stateless path and file-system helpers. Failures give false, an empty or
// unchanged result; nothing throws and nothing is logged.
class Utils {
public:
    // Joins with one '/', dropping one leading '/' of second.
    static std::string combinePath(std::string const& first, std::string const& second);
    // '/' and '\' both separate here.
    static std::string getFilenameFromFilepath(std::string const& path);
    static std::string getPathFromFilepath(std::string const& path);
    // From the last '.' of the whole path on, dot included.
    static std::string getFileExtension(std::string const& path);
    static std::string changeFileExt(std::string const& path, std::string const& extension);
    // Glob match with '*' and '?', case-sensitive.
    static bool match(std::string const& text, std::string const& pattern);

    // Append the full paths of the entries (names starting with '.' skipped),
    // in directory order, whose names match pattern (an empty one matches all).
    static bool listFilesInDir(std::string const& directory, std::list<std::string>& out,
                               std::string const& pattern);
    static bool listDirectoriesInDir(std::string const& directory, std::list<std::string>& out,
                                     std::string const& pattern);
    static std::list<std::string> listFiles(std::string const& directory,
                                            std::string const& pattern);
    static std::list<std::string> listDirectories(std::string const& directory,
                                                  std::string const& pattern);

    static bool fileExists(std::string const& path);
    static bool pathExists(std::string const& path);
    static bool isSymlink(std::string const& path);
    // The link's target, or the path itself when it cannot be read.
    static std::string readSymlink(std::string const& path);
    static bool deleteFile(std::string const& path);
    static bool moveFile(std::string const& from, std::string const& to);
    // Creates the directory and its missing parents.
    static bool makePath(std::string const& path);

    // The executable's directory, absolute; empty when it cannot be resolved.
    static std::string getAppPath();
    // Changes the working directory to the executable's; empty on failure.
    static std::string changeToAppPath();
    static std::string getProcessId();

    // One byte per decimal digit, most significant first; empty when negative.
    static std::vector<unsigned char> decToBCD(int value);
    static std::ostream& printVector(std::vector<unsigned char> const& bytes, std::ostream& stream);
};

#include "engine/Engine.h"

#include "foundation/AtomicFile.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

namespace {

// A copy read while its writer is at work is read again, a few times at most.
constexpr int ReadAttempts = 3;

bool sameFile(struct stat const& a, struct stat const& b) {
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The whole content of an open regular file, unless it changed meanwhile.
std::optional<std::string> readStable(int fd) {
    struct stat before {};
    if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        return std::nullopt;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t const n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    struct stat after {};
    if (::fstat(fd, &after) != 0 || !sameFile(before, after) ||
        content.size() != static_cast<size_t>(after.st_size)) {
        return std::nullopt;
    }
    return content;
}

} // namespace

bool Engine::copiesDirTrusted() const {
    struct stat info {};
    if (::lstat(copiesDir.c_str(), &info) != 0) {
        return false; // no directory, no copies
    }
    bool const trusted = S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
                         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (!trusted && !copiesWarned.exchange(true)) {
        log(Log::Level::Warning,
            "Ignoring configuration copies in %s: not a directory of this user closed to others",
            copiesDir.c_str());
    }
    return trusted;
}

std::optional<std::string> Engine::readCopy(std::string const& path) const {
    for (int attempt = 0; attempt < ReadAttempts; ++attempt) {
        int const fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            return std::nullopt;
        }
        std::optional<std::string> content = readStable(fd);
        ::close(fd);
        if (content) {
            return content;
        }
    }
    return std::nullopt;
}

bool Engine::boardConfigCacheTempFsCreate() {
    struct stat info {};
    if (::lstat(copiesDir.c_str(), &info) == 0) {
        return true;
    }
    log(Log::Level::Info, "Creating %s directory", copiesDir.c_str());
    if (::mkdir(copiesDir.c_str(), 0755) != 0) {
        log(Log::Level::Error, "Could not create directory %s", copiesDir.c_str());
        return false;
    }
    return true;
}

ErrorCode Engine::boardConfigCacheFromTempfs(uint8_t address) {
    Bus::Board const& board = boards.at(address);
    std::string const& boardName = board.getName();
    log(Log::Level::Debug, "Loading %s configuration from tempfs", boardName.c_str());
    std::string const path = Utils::combinePath(copiesDir, boardName);
    std::optional<std::string> const content =
        copiesDirTrusted() ? readCopy(path) : std::optional<std::string>();
    if (!content) {
        log(Log::Level::Debug, "Could not load tempfs file %s (check user:group)", path.c_str());
        return ErrorCode::FileNotFound;
    }
    log(Log::Level::Info, "Found tempfs config file for %s. Loading it...", boardName.c_str());

    size_t start = 0;
    while (start < content->size()) {
        size_t const end = std::min(content->find('\n', start), content->size());
        std::string const line = content->substr(start, end - start);
        start = end + 1;

        size_t const blank = line.find(' ');
        std::string const slotText = blank == std::string::npos ? line : line.substr(0, blank);
        std::string const valueText = blank == std::string::npos ? line : line.substr(blank + 1);
        log(Log::Level::Debug, "found line    : %s - %s", slotText.c_str(), valueText.c_str());
        auto const slot = static_cast<uint8_t>(String::toInteger(slotText, 0) & 0xFF);
        nlohmann::json value;
        try {
            value = nlohmann::json::parse(valueText);
        } catch (nlohmann::json::exception const& e) {
            log(Log::Level::Warning, "Error while loading tempfs config %s: %s", line.c_str(),
                e.what());
            continue;
        }
        log(Log::Level::Debug, "parsed option : %d - %s", slot, value.dump().c_str());
        auto const found = board.getConfigs().find(slot);
        if (found == board.getConfigs().end()) {
            log(Log::Level::Warning, "Slot %d not supported", slot);
            continue;
        }
        storeLoadedConfig(address, slot, value, "option " + found->second.name);
    }
    return ErrorCode::Success;
}

ErrorCode Engine::boardConfigCacheTempFsRemove(uint8_t address) {
    std::string const& boardName = boards.at(address).getName();
    log(Log::Level::Debug, "tempfsConfigCacheRemove(%s)", boardName.c_str());
    std::string const path = Utils::combinePath(copiesDir, boardName);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return ErrorCode::Success;
    }
    // Only a copy of ours is removed: a regular file in a trusted directory.
    if (!copiesDirTrusted()) {
        return ErrorCode::Success;
    }
    if (!S_ISREG(info.st_mode) || ::unlink(path.c_str()) != 0) {
        log(Log::Level::Error, "Could not remove tempfs file: %s", path.c_str());
        return ErrorCode::FileGeneralError;
    }
    return ErrorCode::Success;
}

ErrorCode Engine::boardConfigCacheTempFsStore(uint8_t address) {
    std::string const& boardName = boards.at(address).getName();
    log(Log::Level::Debug, "Storing %s configuration to tempfs", boardName.c_str());
    std::string content;
    state.with([&](EngineState const& s) {
        for (auto const& [slot, entry] : s.boardCaches.at(address).configs) {
            if (entry.first == ErrorCode::Success) {
                content +=
                    std::to_string(slot) + " " +
                    entry.second.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                    "\n";
            }
        }
    });
    std::string const path = Utils::combinePath(copiesDir, boardName);
    if (!copiesDirTrusted() || !AtomicFile::write(path, content)) {
        log(Log::Level::Warning, "Could not create tempfs file %s", path.c_str());
        return ErrorCode::FileNotFound;
    }
    return ErrorCode::Success;
}

} // namespace velt::ZRV480::BoardManager::Manager

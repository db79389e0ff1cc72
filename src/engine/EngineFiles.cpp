#include "engine/Engine.h"

#include "bus/ErrorCode.h"
#include "bus/Parser.h"
#include "foundation/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string_view>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int owned) : fd(owned) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
    int get() const { return fd; }

private:
    int const fd;
};

// Reads exactly `size` bytes; false when the file ends early or a read fails.
bool readExactly(int fd, std::vector<uint8_t>& bytes, size_t size) {
    bytes.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t const n = ::read(fd, bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

ErrorCode Engine::mainFileTransmit(std::string const& localPath, std::string const& remoteName) {
    log(Log::Level::Debug, "mainFileTransmit(%s, %s)", localPath.c_str(), remoteName.c_str());
    // Without blocking: opening a named pipe would wait for a writer.
    Descriptor file(::open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        log(Log::Level::Warning, "Could not open file '%s'", localPath.c_str());
        return ErrorCode::FileNotFound;
    }
    // Only a regular file has a size to trust, and the main board counts
    // sizes in 32 bits.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<uint64_t>(info.st_size) > std::numeric_limits<uint32_t>::max()) {
        log(Log::Level::Warning, "Could not check size of file '%s'", localPath.c_str());
        return ErrorCode::FileSizeError;
    }
    std::vector<uint8_t> bytes;
    if (!readExactly(file.get(), bytes, static_cast<size_t>(info.st_size))) {
        // Never fill the missing part with zeros and send it as the file.
        log(Log::Level::Warning, "Could not read file '%s' whole", localPath.c_str());
        return ErrorCode::FileSizeError;
    }
    startWorker([this, bytes = std::move(bytes), remoteName] {
        fileTransmitFinished.emit(mainFileTransmit(bytes, remoteName));
    });
    return ErrorCode::Success;
}

ErrorCode Engine::mainFileReceive(std::string const& localPath, std::string const& remoteName) {
    log(Log::Level::Debug, "mainFileReceive");
    // The target is only replaced once every byte has arrived (through a
    // file beside it renamed over it): a failed fetch leaves it as it was.
    // Here it is only made sure that it may be written.
    if (!AtomicFile::replaceable(localPath)) {
        log(Log::Level::Error, "Could not open file '%s'", localPath.c_str());
        return ErrorCode::FileInternalError;
    }

    startWorker([this, remoteName, localPath] {
        std::vector<uint8_t> bytes;
        ErrorCode result = parser.mainFileReceive(remoteName, bytes);
        if (result == ErrorCode::Success &&
            !AtomicFile::replace(
                localPath,
                std::string_view(reinterpret_cast<char const*>(bytes.data()), bytes.size()))) {
            log(Log::Level::Error, "Could not open file '%s'", localPath.c_str());
            result = ErrorCode::FileInternalError;
        }
        fileReceiveFinished.emit(result);
    });
    return ErrorCode::Success;
}

ErrorCode Engine::mainFileTransmit(std::vector<uint8_t> const& bytes,
                                   std::string const& remoteName) {
    log(Log::Level::Debug, "mainFileTransmit([binary], %s)", remoteName.c_str());
    return parser.mainFileTransmit(remoteName, bytes, true);
}

ErrorCode Engine::mainFileDelete(std::string const& remoteName) {
    return parser.mainFileDelete(remoteName);
}

ErrorCode Engine::mainFileChecksum(std::string const& remoteName, uint32_t& size, Md5& md5) {
    return parser.mainFileChecksum(remoteName, size, md5);
}

} // namespace velt::ZRV480::BoardManager::Manager

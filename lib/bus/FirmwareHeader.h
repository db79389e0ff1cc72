#pragma once

#include "foundation/Logger.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velt::ZRV480::Bus::ValueObjects {

// The 256-byte header that names a firmware image: which firmware, which
// board and revision, which version and which kind of build.
class FirmwareHeader : public Logger {
public:
    enum Build : int { RELEASE = 0, OTA = 1, DEBUG = 2 };

    static constexpr uint32_t Magic = 0xC0DEB10C;
    static constexpr size_t Size = 256;

    // Empty and invalid.
    FirmwareHeader();
    // Looks for a valid header at 0x100, 0x3100 and 0x5100, in that order,
    // stopping at the first window the image does not hold whole.
    explicit FirmwareHeader(std::vector<uint8_t> const& image);

    // Parses one 256-byte window; false for a shorter one, a wrong magic or
    // a build text that is none of OTA, RELEASE, DEBUG.
    bool readHeader(std::vector<uint8_t> const& window);

    bool isValid() const { return valid; }
    uint8_t getVersion() const { return version; }
    Build getBuild() const { return build; }
    std::string getFirmware() const { return firmware; }
    std::string getCompany() const { return company; }
    // The board name, "-R" and the revision: psu-R2.
    std::string getBoard() const;

    // 123 -> "1.2.3".
    static std::string versionToStr(uint8_t version);
    // "RELEASE", "OTA", "DEBUG" or "UNKNOWN_BUILD".
    static std::string buildToStr(Build build);
    // "v1.2.3" -> 123.
    static long long strToVersion(std::string const& text);

private:
    bool valid = false;
    uint32_t magic = 0;
    std::string company;
    std::string firmware;
    uint8_t version = 0;
    std::string board;
    uint32_t revision = 0;
    Build build = RELEASE;
};

} // namespace velt::ZRV480::Bus::ValueObjects

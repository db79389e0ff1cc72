#include "FirmwareInstaller.h"

#include "LittleEndian.h"

#include <cstring>

namespace boardsim {

namespace {

constexpr size_t WindowSize = 256;
constexpr uint32_t Magic = 0xC0DEB10C;

std::string text(Bytes const& image, size_t at) {
    char const* begin = reinterpret_cast<char const*>(&image[at]);
    return std::string(begin, strnlen(begin, 32));
}

bool knownBuild(std::string const& build) {
    for (char const* prefix : {"OTA", "RELEASE", "DEBUG"}) {
        if (build.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Flag bit positions: the main board's bootloader uses the SD table, the others the flash table.
struct FlagBits {
    int ignoreFwHeader;
    int allowReinstall;
    int allowDowngrade;
};
constexpr FlagBits SdBits{0, 4, 5};
constexpr FlagBits FlashBits{1, 6, 7};

} // namespace

std::optional<FirmwareInstaller::Header> FirmwareInstaller::findHeader(Bytes const& image) {
    for (size_t offset : {0x100, 0x3100, 0x5100}) {
        if (image.size() < offset + WindowSize) {
            break;
        }
        if (LittleEndian::get32(image, offset) != Magic || !knownBuild(text(image, offset + 108))) {
            continue;
        }
        return Header{text(image, offset + 36), image[offset + 68], text(image, offset + 72),
                      LittleEndian::get32(image, offset + 104)};
    }
    return std::nullopt;
}

uint16_t FirmwareInstaller::install(Bytes const& image, uint8_t address, uint16_t flags,
                                    BoardInfo& info) {
    const FlagBits bits = address == 0 ? SdBits : FlashBits;
    auto has = [flags](int bit) { return (flags >> bit & 1) != 0; };
    auto header = findHeader(image);
    if (!header) {
        if (!has(bits.ignoreFwHeader)) {
            return InvalidFwHeader;
        }
        // Without a header there is no version to compare: the image goes in as it is.
        return UpdateOk;
    }
    if (header->version < info.firmwareVersion && !has(bits.allowDowngrade)) {
        return Downgrade;
    }
    if (header->version == info.firmwareVersion && !has(bits.allowReinstall)) {
        return ReInstall;
    }
    info.firmwareVersion = header->version;
    info.firmwareName = header->firmware;
    return UpdateOk;
}

} // namespace boardsim

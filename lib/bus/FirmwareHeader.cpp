#include "bus/FirmwareHeader.h"

#include "foundation/String.h"

#include <algorithm>
#include <cstring>

namespace velt::ZRV480::Bus::ValueObjects {

namespace {

const size_t Offsets[] = {0x100, 0x3100, 0x5100};

uint32_t readU32(std::vector<uint8_t> const& bytes, size_t at) {
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

// A 32-byte text field: up to the first zero byte, or all 32 bytes.
std::string readText(std::vector<uint8_t> const& bytes, size_t at) {
    char const* begin = reinterpret_cast<char const*>(&bytes[at]);
    return std::string(begin, strnlen(begin, 32));
}

bool startsWith(std::string const& text, char const* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

} // namespace

FirmwareHeader::FirmwareHeader() : Logger("Board::Firmware") {}

FirmwareHeader::FirmwareHeader(std::vector<uint8_t> const& image) : FirmwareHeader() {
    for (size_t offset : Offsets) {
        if (image.size() < offset + Size) {
            return;
        }
        log(Log::Level::Debug, "Seeking valid header at offset 0x%04x.", unsigned(offset));
        const std::vector<uint8_t> window(image.begin() + offset, image.begin() + offset + Size);
        if (readHeader(window)) {
            log(Log::Level::Info, "%s: %s (%s) for %s by %s", buildToStr(build).c_str(),
                firmware.c_str(), versionToStr(version).c_str(), getBoard().c_str(),
                company.c_str());
            valid = true;
            return;
        }
    }
}

bool FirmwareHeader::readHeader(std::vector<uint8_t> const& window) {
    if (window.size() < Size) {
        return false;
    }
    magic = readU32(window, 0);
    if (magic != Magic) {
        log(Log::Level::Debug, "Header is invalid (magic=0x%08x)", magic);
        return false;
    }
    company = readText(window, 4);
    firmware = readText(window, 36);
    version = window[68];
    board = readText(window, 72);
    revision = readU32(window, 104);

    const std::string buildText = readText(window, 108);
    if (startsWith(buildText, "OTA")) {
        build = OTA;
    } else if (startsWith(buildText, "RELEASE")) {
        build = RELEASE;
    } else if (startsWith(buildText, "DEBUG")) {
        build = DEBUG;
    } else {
        log(Log::Level::Debug, "Invalid build: %s", buildText.c_str());
        return false;
    }
    return true;
}

std::string FirmwareHeader::getBoard() const {
    return board + "-R" + std::to_string(revision);
}

std::string FirmwareHeader::versionToStr(uint8_t version) {
    return String::format("%d.%d.%d", version / 100, version / 10 % 10, version % 10);
}

std::string FirmwareHeader::buildToStr(Build build) {
    switch (build) {
    case RELEASE:
        return "RELEASE";
    case OTA:
        return "OTA";
    case DEBUG:
        return "DEBUG";
    }
    return "UNKNOWN_BUILD";
}

long long FirmwareHeader::strToVersion(std::string const& text) {
    std::string digits = text;
    const size_t v = digits.find('v');
    if (v != std::string::npos) {
        digits.erase(v, 1);
    }
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    return String::toInteger(digits, 0);
}

} // namespace velt::ZRV480::Bus::ValueObjects

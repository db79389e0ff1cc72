#include "bus/Helpers.h"

#include "foundation/Utils.h"
#include "foundation/Variant.h"
#include "foundation/VariantMap.h"

#include <pthread.h>
#include <sched.h>

#include <fstream>
#include <utility>

namespace velt::ZRV480::Bus::Common {

namespace {

using EC = ErrorCode;

// The boards' numbering follows no pattern, so each map is a table.
const std::pair<int16_t, EC> otaResults[] = {
    {0, EC::Success},           {1, EC::OtaCommit},          {0x80, EC::OtaGeneralError},
    {0x81, EC::OtaFormatError}, {0x82, EC::OtaSizeError},    {0x83, EC::OtaSequenceError},
    {0x84, EC::OtaXFERError},   {0x85, EC::OtaStorageError}, {0x86, EC::OtaInternalError},
};

const std::pair<int16_t, EC> fileResults[] = {
    {0, EC::Success},
    {1, EC::FileDone},
    {0x40, EC::FileNotFound},
    {0x41, EC::FileInUse},
    {0x80, EC::FileGeneralError},
    {0x81, EC::FileFormatError},
    {0x82, EC::FileNameError},
    {0x83, EC::FileSizeError},
    {0x84, EC::FileDescriptorError},
    {0x85, EC::FileSequenceError},
    {0x86, EC::FileXFERError},
    {0x87, EC::FileStorageError},
    {0x88, EC::FileInternalError},
};

const std::pair<uint8_t, EC> busErrors[] = {
    {0x82, EC::BusTimeout},     {0x83, EC::BusProtocolError}, {0x84, EC::BusNodeError},
    {0x85, EC::BusInvalidSlot}, {0x86, EC::BusInvalidValue},
};

template <typename Key, size_t N>
EC lookup(const std::pair<Key, EC> (&table)[N], Key key, EC otherwise) {
    for (auto const& [k, code] : table) {
        if (k == key) {
            return code;
        }
    }
    return otherwise;
}

// Reads into a fresh container and hands it over only when every byte
// arrived: a cut-short image must never look complete.
template <typename Container> ErrorCode readWholeFile(std::string const& path, Container& out) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        return EC::FileNotFound;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff length = file.tellg();
    if (!file || length < 0 || length > std::streamoff(UINT32_MAX)) {
        return EC::FileSizeError;
    }
    file.seekg(0, std::ios::beg);
    Container content(static_cast<size_t>(length), 0);
    file.read(reinterpret_cast<char*>(content.data()), length);
    if (file.gcount() != length) {
        return EC::FileSizeError;
    }
    out.swap(content);
    return EC::Success;
}

} // namespace

std::string getProjectVersion() {
    return "3.1.5";
}

ErrorCode Helpers::fileToVector(std::string const& path, std::vector<uint8_t>& out) {
    return readWholeFile(path, out);
}

ErrorCode Helpers::fileToStr(std::string const& path, std::string& out) {
    return readWholeFile(path, out);
}

int Helpers::threadPriorityMaxGet() {
    return sched_get_priority_max(SCHED_FIFO);
}

int Helpers::threadPriorityMinGet() {
    return sched_get_priority_min(SCHED_FIFO);
}

int Helpers::threadPrioritySet(int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

std::string Helpers::getExecutableDirectory() {
    return Utils::getAppPath();
}

nlohmann::json Helpers::variantToJson(Variant const& value) {
    switch (value.type()) {
    case Variant::Type::Map: {
        // One member per flat key, not nested as the settings render it.
        const VariantMap map = value.toMap();
        nlohmann::json object; // stays null for a map without keys
        for (std::string const& key : map.keys()) {
            object[key] = variantToJson(map.get(key));
        }
        return object;
    }
    case Variant::Type::Null:
    case Variant::Type::Int:
    case Variant::Type::UInt:
    case Variant::Type::Double:
    case Variant::Type::Bool:
        return VariantMap::convert(value);
    default:
        // A text stays a string even when it reads as JSON.
        return value.toString();
    }
}

ErrorCode Helpers::otaResult2ec(int16_t result) {
    return lookup(otaResults, result, EC::MalformedResponse);
}

ErrorCode Helpers::fileResult2ec(int16_t result) {
    return lookup(fileResults, result, EC::MalformedResponse);
}

ErrorCode Helpers::busError2ec(uint8_t errorByte) {
    return lookup(busErrors, errorByte, EC::BusGeneralError);
}

} // namespace velt::ZRV480::Bus::Common

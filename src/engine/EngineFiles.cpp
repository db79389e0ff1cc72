#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

ErrorCode Engine::mainFileTransmit(std::string const&, std::string const&) {
    // TODO(engine-life)
    return ErrorCode::FileNotFound;
}

ErrorCode Engine::mainFileReceive(std::string const&, std::string const&) {
    // TODO(engine-life)
    return ErrorCode::FileInternalError;
}

ErrorCode Engine::mainFileTransmit(std::vector<uint8_t> const&, std::string const&) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainFileDelete(std::string const&) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainFileChecksum(std::string const&, uint32_t&, Md5&) {
    // TODO(engine-life)
    return ErrorCode::Timeout;
}

} // namespace velt::ZRV480::BoardManager::Manager

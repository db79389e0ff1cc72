#include "engine/Engine.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

ErrorCode Engine::mainTimestampGet(int32_t&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkStatusGet(bool&, Mac&, Ip&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkBoardServerGet(uint16_t&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkDhcpGet(bool&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkIpGet(Ip&, Ip&, Ip&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainBusStatisticsGet(Bus::BusReport&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkDnsGet(Ip&) const {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainTimestampSet(int32_t&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkBoardServerSet(uint16_t&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkDhcpSet(bool&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkIpSet(Ip&, Ip&, Ip&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainNetworkDnsSet(Ip&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainSecurityDisarm(std::string const&, bool&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainSecurityPreAuth(std::string const&, std::string const&) {
    return ErrorCode::Timeout;
}

ErrorCode Engine::mainSecurityPreAuthCancel() {
    return ErrorCode::Timeout;
}

} // namespace velt::ZRV480::BoardManager::Manager

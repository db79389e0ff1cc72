#include "engine/Engine.h"

#include <tuple>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ErrorCode;

namespace {

constexpr uint8_t Main = Bus::Schema::AddressMain;

// An address as its four octets in decimal, without separators.
std::string octets(Engine::Ip const& ip) {
    std::string text;
    for (uint8_t octet : ip) {
        text += std::to_string(octet);
    }
    return text;
}

} // namespace

ErrorCode Engine::mainTimestampGet(int32_t& timestamp) const {
    log(Log::Level::Debug, "mainTimestampGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        timestamp = cache.mainTimestamp.second;
        return cache.mainTimestamp.first;
    });
}

ErrorCode Engine::mainNetworkStatusGet(bool& link, Mac& mac, Ip& ip) const {
    log(Log::Level::Debug, "mainNetworkStatusGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        std::tie(link, mac, ip) = cache.mainNetworkStatus.second;
        return cache.mainNetworkStatus.first;
    });
}

ErrorCode Engine::mainNetworkBoardServerGet(uint16_t& port) const {
    log(Log::Level::Debug, "mainNetworkBoardServerGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        port = cache.mainNetworkBoardServer.second;
        return cache.mainNetworkBoardServer.first;
    });
}

ErrorCode Engine::mainNetworkDhcpGet(bool& dhcp) const {
    log(Log::Level::Debug, "mainNetworkDhcpGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        dhcp = cache.mainNetworkDhcp.second;
        return cache.mainNetworkDhcp.first;
    });
}

ErrorCode Engine::mainNetworkIpGet(Ip& ip, Ip& netmask, Ip& gateway) const {
    log(Log::Level::Debug, "mainNetworkIpGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        std::tie(ip, netmask, gateway) = cache.mainNetworkIp.second;
        return cache.mainNetworkIp.first;
    });
}

ErrorCode Engine::mainBusStatisticsGet(Bus::BusReport& report) const {
    log(Log::Level::Debug, "mainBusStatisticsGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        report = cache.mainBusStatistics.second;
        return cache.mainBusStatistics.first;
    });
}

ErrorCode Engine::mainNetworkDnsGet(Ip& dns) const {
    log(Log::Level::Debug, "mainNetworkDnsGet");
    return answerFromCache(Main, true, [&](BoardCache const& cache) {
        dns = cache.mainNetworkDns.second;
        return cache.mainNetworkDns.first;
    });
}

ErrorCode Engine::mainTimestampSet(int32_t& timestamp) {
    log(Log::Level::Debug, "mainTimestampSet %d", timestamp);
    ErrorCode const code = parser.mainTimestampSet(timestamp);
    return state.with([&](EngineState& s) {
        s.boardCaches.at(Main).mainTimestamp = {code, timestamp};
        return code;
    });
}

ErrorCode Engine::mainNetworkBoardServerSet(uint16_t& port) {
    log(Log::Level::Debug, "mainNetworkBoardServerSet %d", port);
    ErrorCode const code = parser.mainNetworkBoardServerSet(port);
    return state.with([&](EngineState& s) {
        s.boardCaches.at(Main).mainNetworkBoardServer = {code, port};
        return code;
    });
}

ErrorCode Engine::mainNetworkDhcpSet(bool& dhcp) {
    log(Log::Level::Debug, "mainNetworkDhcpSet %d", dhcp ? 1 : 0);
    ErrorCode const code = parser.mainNetworkDhcpSet(dhcp);
    return state.with([&](EngineState& s) {
        s.boardCaches.at(Main).mainNetworkDhcp = {code, dhcp};
        return code;
    });
}

ErrorCode Engine::mainNetworkIpSet(Ip& ip, Ip& netmask, Ip& gateway) {
    log(Log::Level::Debug, "mainNetworkIpSet %s %s %s", octets(ip).c_str(), octets(netmask).c_str(),
        octets(gateway).c_str());
    ErrorCode const code = parser.mainNetworkIpSet(ip, netmask, gateway);
    return state.with([&](EngineState& s) {
        s.boardCaches.at(Main).mainNetworkIp = {code, {ip, netmask, gateway}};
        return code;
    });
}

ErrorCode Engine::mainNetworkDnsSet(Ip& dns) {
    log(Log::Level::Debug, "mainNetworkDnsSet %s", octets(dns).c_str());
    ErrorCode const code = parser.mainNetworkDnsSet(dns);
    return state.with([&](EngineState& s) {
        s.boardCaches.at(Main).mainNetworkDns = {code, dns};
        return code;
    });
}

ErrorCode Engine::mainSecurityDisarm(std::string const& password, bool& disarmed) {
    return parser.mainSecurityDisarm(password, disarmed);
}

ErrorCode Engine::mainSecurityPreAuth(std::string const& passwordHash, std::string const& salt) {
    return parser.mainSecurityPreAuth(passwordHash, salt);
}

ErrorCode Engine::mainSecurityPreAuthCancel() {
    return parser.mainSecurityPreAuthCancel();
}

} // namespace velt::ZRV480::BoardManager::Manager

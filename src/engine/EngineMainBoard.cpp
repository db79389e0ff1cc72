#include "engine/Engine.h"

#include "bus/Parser.h"

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
    return getCached(Main, &BoardCache::mainTimestamp, timestamp);
}

ErrorCode Engine::mainNetworkStatusGet(bool& link, Mac& mac, Ip& ip) const {
    log(Log::Level::Debug, "mainNetworkStatusGet");
    return getCached(Main, &BoardCache::mainNetworkStatus, std::tie(link, mac, ip));
}

ErrorCode Engine::mainNetworkBoardServerGet(uint16_t& port) const {
    log(Log::Level::Debug, "mainNetworkBoardServerGet");
    return getCached(Main, &BoardCache::mainNetworkBoardServer, port);
}

ErrorCode Engine::mainNetworkDhcpGet(bool& dhcp) const {
    log(Log::Level::Debug, "mainNetworkDhcpGet");
    return getCached(Main, &BoardCache::mainNetworkDhcp, dhcp);
}

ErrorCode Engine::mainNetworkIpGet(Ip& ip, Ip& netmask, Ip& gateway) const {
    log(Log::Level::Debug, "mainNetworkIpGet");
    return getCached(Main, &BoardCache::mainNetworkIp, std::tie(ip, netmask, gateway));
}

ErrorCode Engine::mainBusStatisticsGet(Bus::BusReport& report) const {
    log(Log::Level::Debug, "mainBusStatisticsGet");
    return getCached(Main, &BoardCache::mainBusStatistics, report);
}

ErrorCode Engine::mainNetworkDnsGet(Ip& dns) const {
    log(Log::Level::Debug, "mainNetworkDnsGet");
    return getCached(Main, &BoardCache::mainNetworkDns, dns);
}

ErrorCode Engine::mainTimestampSet(int32_t& timestamp) {
    log(Log::Level::Debug, "mainTimestampSet %d", timestamp);
    return cacheEcho(Main, &BoardCache::mainTimestamp, parser.mainTimestampSet(timestamp),
                     timestamp);
}

ErrorCode Engine::mainNetworkBoardServerSet(uint16_t& port) {
    log(Log::Level::Debug, "mainNetworkBoardServerSet %d", port);
    return cacheEcho(Main, &BoardCache::mainNetworkBoardServer,
                     parser.mainNetworkBoardServerSet(port), port);
}

ErrorCode Engine::mainNetworkDhcpSet(bool& dhcp) {
    log(Log::Level::Debug, "mainNetworkDhcpSet %d", dhcp ? 1 : 0);
    return cacheEcho(Main, &BoardCache::mainNetworkDhcp, parser.mainNetworkDhcpSet(dhcp), dhcp);
}

ErrorCode Engine::mainNetworkIpSet(Ip& ip, Ip& netmask, Ip& gateway) {
    log(Log::Level::Debug, "mainNetworkIpSet %s %s %s", octets(ip).c_str(), octets(netmask).c_str(),
        octets(gateway).c_str());
    return cacheEcho(Main, &BoardCache::mainNetworkIp,
                     parser.mainNetworkIpSet(ip, netmask, gateway), std::tie(ip, netmask, gateway));
}

ErrorCode Engine::mainNetworkDnsSet(Ip& dns) {
    log(Log::Level::Debug, "mainNetworkDnsSet %s", octets(dns).c_str());
    return cacheEcho(Main, &BoardCache::mainNetworkDns, parser.mainNetworkDnsSet(dns), dns);
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

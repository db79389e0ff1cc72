#include "bus/Config.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <stdexcept>
#include <string>

namespace velt::ZRV480::Bus {

namespace {

char const* const KeyAddress = "address";
char const* const KeyPort = "port";
char const* const KeyTimeout = "timeoutMs";

// Refuses a member that is present and not an integer within [min, max].
void requireInteger(nlohmann::json const& settings, char const* key, int64_t min, int64_t max) {
    auto const it = settings.find(key);
    if (it == settings.end()) {
        return;
    }
    bool valid = false;
    if (it->is_number_unsigned()) {
        uint64_t const value = it->get<uint64_t>();
        valid = value >= uint64_t(min) && value <= uint64_t(max);
    } else if (it->is_number_integer()) {
        int64_t const value = it->get<int64_t>();
        valid = value >= min && value <= max;
    }
    if (!valid) {
        throw std::invalid_argument("socket setting \"" + std::string(key) +
                                    "\" must be an integer from " + std::to_string(min) + " to " +
                                    std::to_string(max) + ", got " + it->dump());
    }
}

} // namespace

Config::Config() {
    defaults();
}

void Config::defaults() {
    log(Log::Level::Info, "Loading default configuration.");
    set(KeyAddress, Variant("10.10.10.4"));
    set(KeyPort, Variant(10000));
    set(KeyTimeout, Variant(100));
}

std::string Config::getUdpAddress() const {
    return get(KeyAddress).toString();
}

uint64_t Config::getUdpPort() const {
    return get(KeyPort).toUInt();
}

uint64_t Config::getTimeoutMs() const {
    return get(KeyTimeout).toUInt();
}

void Config::setUdpAddress(std::string const& address) {
    set(KeyAddress, Variant(address));
}

void Config::setUdpPort(uint64_t port) {
    set(KeyPort, Variant(static_cast<unsigned long>(port)));
}

void Config::setTimeoutMs(uint64_t timeout) {
    set(KeyTimeout, Variant(static_cast<unsigned long>(timeout)));
}

void Config::validate(nlohmann::json const& settings) {
    if (!settings.is_object()) {
        throw std::invalid_argument("socket settings must be a JSON object, got " +
                                    settings.dump());
    }
    // Only the three members: any other name (one with a '/' would reach
    // into the settings below a member) is refused before anything changes.
    for (auto const& member : settings.items()) {
        if (member.key() != KeyAddress && member.key() != KeyPort && member.key() != KeyTimeout) {
            throw std::invalid_argument("socket setting \"" + member.key() +
                                        "\" is unknown; the members are \"address\", \"port\" "
                                        "and \"timeoutMs\"");
        }
    }
    auto const address = settings.find(KeyAddress);
    if (address != settings.end()) {
        in_addr parsed{};
        if (!address->is_string() ||
            inet_pton(AF_INET, address->get<std::string>().c_str(), &parsed) != 1) {
            throw std::invalid_argument(
                "socket setting \"address\" must be an IPv4 address in dotted decimal, got " +
                address->dump());
        }
    }
    requireInteger(settings, KeyPort, PortMin, PortMax);
    requireInteger(settings, KeyTimeout, TimeoutMin, TimeoutMax);
}

void Config::log(Log::Level level, char const* format, ...) {
    std::string const prefixed = std::string("[Socket::Config] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

} // namespace velt::ZRV480::Bus

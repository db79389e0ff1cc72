#pragma once

#include "foundation/Log.h"
#include "foundation/SettingStore.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace velt::ZRV480::Bus {

// The UDP transport's settings: the gateway's address and port, and the
// socket time-out in units of 100 microseconds (the key says "Ms", the unit
// is not).
class Config : public SettingStore {
public:
    Config();
    ~Config() override = default;

    void defaults();

    std::string getUdpAddress() const;
    uint64_t getUdpPort() const;
    uint64_t getTimeoutMs() const;

    void setUdpAddress(std::string const& address);
    void setUdpPort(uint64_t port);
    void setTimeoutMs(uint64_t timeout);

    // Throws std::invalid_argument naming the first member of a "socket"
    // part that cannot make a working socket: a member other than these
    // three, an "address" that is not an IPv4 address, a "port" outside
    // 1..65535, a "timeoutMs" outside 1..9999.
    static void validate(nlohmann::json const& settings);

    static void log(Log::Level level, char const* format, ...)
        __attribute__((format(printf, 2, 3)));
};

} // namespace velt::ZRV480::Bus

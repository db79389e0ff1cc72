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

    // The ranges of "port" and "timeoutMs" that validate takes.
    static constexpr int64_t PortMin = 1;
    static constexpr int64_t PortMax = 65535;
    static constexpr int64_t TimeoutMin = 1;
    static constexpr int64_t TimeoutMax = 9999;

    // Throws std::invalid_argument naming the first member of a "socket"
    // part that cannot make a working socket: a member other than these
    // three, an "address" that is not an IPv4 address, a "port" or a
    // "timeoutMs" outside its range above.
    static void validate(nlohmann::json const& settings);

    static void log(Log::Level level, char const* format, ...)
        __attribute__((format(printf, 2, 3)));
};

} // namespace velt::ZRV480::Bus

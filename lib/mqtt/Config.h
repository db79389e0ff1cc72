#pragma once

#include <cstdint>
#include <string>

#include "foundation/Log.h"
#include "foundation/SettingStore.h"

namespace MQTT {

// Broker connection settings and log switches under flat keys ("url",
// "username", "password", "clientId", "base", "keepAliveSec",
// "log/payload", "log/subscriptions", "log/published", "log/received").
// Getters read the map at every call, so a change is seen by the next read;
// numbers read the same whatever numeric kind they were stored as.
class Config : public SettingStore {
public:
    // Loads the defaults; "base" defaults to defaultBase.
    Config(std::string defaultBase, std::string logName);

    // Overwrites every key with its default, logging that it does.
    void loadDefaults();

    std::string getUrl() const;
    void setUrl(std::string const& url);
    std::string getUsername() const;
    void setUsername(std::string const& username);
    std::string getPassword() const;
    void setPassword(std::string const& password);
    // Empty means the process id.
    std::string getClientId() const;
    void setClientId(std::string const& clientId);
    std::string getBase() const;
    void setBase(std::string const& base);
    uint32_t getKeepAlive() const;
    void setKeepAlive(unsigned seconds);
    bool getLogPayload() const;
    void setLogPayload(bool enabled);
    bool getLogSubscriptions() const;
    void setLogSubscriptions(bool enabled);
    bool getLogPublished() const;
    void setLogPublished(bool enabled);
    bool getLogReceived() const;
    void setLogReceived(bool enabled);

    // "[<logName>::Config] <format>" at the given level.
    void log(Log::Level level, char const* format, ...) const __attribute__((format(printf, 3, 4)));

    std::string defaultBase;
    std::string logName;
};

} // namespace MQTT

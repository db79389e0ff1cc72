#include "mqtt/Config.h"

#include <cstdarg>
#include <utility>

#include "foundation/String.h"
#include "foundation/Variant.h"

namespace MQTT {

Config::Config(std::string base, std::string loggerName)
    : defaultBase(std::move(base)), logName(std::move(loggerName)) {
    loadDefaults();
}

void Config::loadDefaults() {
    log(Log::Level::Info, "Loading default configuration.");
    set("url", Variant("127.0.0.1:1883"));
    set("username", Variant(""));
    set("password", Variant(""));
    set("clientId", Variant(""));
    set("base", Variant(defaultBase));
    set("keepAliveSec", Variant(20));
    set("log/payload", Variant(false));
    set("log/subscriptions", Variant(false));
    set("log/published", Variant(false));
    set("log/received", Variant(false));
}

std::string Config::getUrl() const {
    return get("url").toString();
}
void Config::setUrl(std::string const& url) {
    set("url", Variant(url));
}
std::string Config::getUsername() const {
    return get("username").toString();
}
void Config::setUsername(std::string const& username) {
    set("username", Variant(username));
}
std::string Config::getPassword() const {
    return get("password").toString();
}
void Config::setPassword(std::string const& password) {
    set("password", Variant(password));
}
std::string Config::getClientId() const {
    return get("clientId").toString();
}
void Config::setClientId(std::string const& clientId) {
    set("clientId", Variant(clientId));
}
std::string Config::getBase() const {
    return get("base").toString();
}
void Config::setBase(std::string const& base) {
    set("base", Variant(base));
}
uint32_t Config::getKeepAlive() const {
    return static_cast<uint32_t>(get("keepAliveSec").toUInt());
}
void Config::setKeepAlive(unsigned seconds) {
    set("keepAliveSec", Variant(seconds));
}
bool Config::getLogPayload() const {
    return get("log/payload").toBool();
}
void Config::setLogPayload(bool enabled) {
    set("log/payload", Variant(enabled));
}
bool Config::getLogSubscriptions() const {
    return get("log/subscriptions").toBool();
}
void Config::setLogSubscriptions(bool enabled) {
    set("log/subscriptions", Variant(enabled));
}
bool Config::getLogPublished() const {
    return get("log/published").toBool();
}
void Config::setLogPublished(bool enabled) {
    set("log/published", Variant(enabled));
}
bool Config::getLogReceived() const {
    return get("log/received").toBool();
}
void Config::setLogReceived(bool enabled) {
    set("log/received", Variant(enabled));
}

void Config::log(Log::Level level, char const* format, ...) const {
    std::string const line = String::format("[%s::Config] %s", logName.c_str(), format);
    va_list args;
    va_start(args, format);
    Log::vprint(level, line.c_str(), args);
    va_end(args);
}

} // namespace MQTT

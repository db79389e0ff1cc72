#include "device/MqttAdaptor.h"

#include "foundation/CheckedLock.h"

#include <string>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

MqttAdaptor::RpcHandler MqttAdaptor::callHandler(std::function<ErrorCode()> action) {
    // The payload is not read: any request starts the action.
    return
        [action = std::move(action)](std::string const&, std::string const&, std::string const&) {
            return successOrCodeRPC(action(), nullptr);
        };
}

MqttAdaptor::RpcHandler MqttAdaptor::boardReboot(uint8_t address) {
    return [this, address](std::string const&, std::string const&, std::string const& id) {
        ErrorCode const code = engine->boardReboot(address);
        if (code == ErrorCode::Success) {
            // Announced at the board's next online or offline edge; a later
            // request before that edge takes the notice over.
            CheckedLock lock(fieldsMutex);
            rebootRequestIds[address] = id;
        }
        return successOrCodeRPC(code, nullptr);
    };
}

MqttAdaptor::RpcHandler MqttAdaptor::boardRestoreDefaults(uint8_t address) {
    return callHandler([this, address]() { return engine->boardRestoreDefaults(address); });
}

MqttAdaptor::RpcHandler MqttAdaptor::boardAction(uint8_t address, uint8_t action) {
    return callHandler([this, address, action]() { return engine->boardAction(address, action); });
}

MqttAdaptor::RpcHandler MqttAdaptor::broadcastReboot() {
    return callHandler([this]() { return engine->broadcastReboot(); });
}

MqttAdaptor::RpcHandler MqttAdaptor::broadcastRestoreDefaults() {
    return callHandler([this]() { return engine->broadcastRestoreDefaults(); });
}

MqttAdaptor::RpcHandler MqttAdaptor::broadcastHeartbeat() {
    return callHandler([this]() { return engine->broadcastHeartbeat(); });
}

} // namespace velt::ZRV480::BoardManager::Manager

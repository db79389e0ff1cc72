#include "device/MqttAdaptor.h"

#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// TODO(device-calls): every handler below.
MqttAdaptor::Getter MqttAdaptor::firmwareUpgradeProgressGet() {
    return []() -> Result { return {true, {{"boards", json::object()}, {"progress", 100}}}; };
}

MqttAdaptor::RpcHandler MqttAdaptor::firmwareUpgradeApply() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::boardFirmwareUpgrade(uint8_t) {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

void MqttAdaptor::onFirmwareUpgradeProgress(uint8_t, float) {}

void MqttAdaptor::onFirmwareUpgradeFinished(uint8_t, ErrorCode) {}

} // namespace velt::ZRV480::BoardManager::Manager

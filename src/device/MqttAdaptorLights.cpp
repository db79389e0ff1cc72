#include "device/MqttAdaptor.h"

#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// TODO(device-calls)
void MqttAdaptor::subscribeLights(uint8_t) {}

// TODO(device-calls)
MqttAdaptor::RpcHandler MqttAdaptor::lightPlayPattern(uint8_t, uint8_t, bool) {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

// TODO(device-calls)
MqttAdaptor::RpcHandler MqttAdaptor::lightPlayPatternMulti(uint8_t) {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

// TODO(device-calls)
MqttAdaptor::RpcHandler MqttAdaptor::lightTransitionColor(uint8_t, uint8_t) {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

// TODO(device-calls)
MqttAdaptor::RpcHandler MqttAdaptor::lightTransitionValue(uint8_t, uint8_t) {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

} // namespace velt::ZRV480::BoardManager::Manager

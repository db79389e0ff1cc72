#include "device/MqttAdaptor.h"

#include <string>

namespace velt::ZRV480::BoardManager::Manager {

// TODO(device-calls): every handler below.
MqttAdaptor::RpcHandler MqttAdaptor::mainFileTransmit() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileReceive() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileDelete() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileChecksum() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainSecurityDisarm() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainSecurityPreAuth() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainSecurityPreAuthCancel() {
    return callHandler([]() { return ErrorCode::MalformedRequest; });
}

void MqttAdaptor::onFileTransmitProgress(float) {}

void MqttAdaptor::onFileTransmitFinished(ErrorCode) {}

void MqttAdaptor::onFileReceiveProgress(float) {}

void MqttAdaptor::onFileReceiveFinished(ErrorCode) {}

} // namespace velt::ZRV480::BoardManager::Manager

#include "device/MqttAdaptor.h"

#include "device/RequestPayload.h"
#include "mqtt/Message.h"

#include "bus/ErrorCode.h"
#include "bus/Helpers.h"
#include "foundation/String.h"

#include <string>
#include <variant>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

char const* const TransmitTopic = "main/action/fileTransmit";
char const* const ReceiveTopic = "main/action/fileReceive";

} // namespace

MqttAdaptor::RpcHandler MqttAdaptor::textMembersCall(std::vector<char const*> keys,
                                                     TextMembersCall call) {
    return [keys = std::move(keys), call = std::move(call)](
               std::string const&, std::string const& payload, std::string const& id) {
        auto const values = RequestPayload::strings(payload, keys);
        if (auto const* code = std::get_if<ErrorCode>(&values)) {
            return successOrCodeRPC(*code, nullptr);
        }
        return call(std::get<std::vector<std::string>>(values), id);
    };
}

std::string MqttAdaptor::startFileTransfer(PendingTransfer& transfer, std::string const& id,
                                           std::function<ErrorCode()> const& start) {
    // The bus moves one file at a time: a second request of the same
    // direction would only fail later, and must not take over the first
    // one's finished notice.
    if (!transfer.claim(id)) {
        return successOrCodeRPC(ErrorCode::FileLimit, nullptr);
    }
    auto const code = start();
    if (code != ErrorCode::Success) {
        transfer.release(id);
    }
    return successOrCodeRPC(code, nullptr);
}

// Both run on the transfer's thread: they decide there and hand the
// publication to the adaptor's own thread, in order.
void MqttAdaptor::publishFileProgress(PendingTransfer& transfer, char const* call, float percent) {
    if (auto const step = transfer.progress(percent)) {
        later([this, topic = String::format("%s/progress", call), step = *step]() {
            client->publish(MQTT::Message(topic, json{{"percent", step}}.dump(), MQTT::Retained::No,
                                          MQTT::QoS::AtMostOnce),
                            true);
        });
    }
}

void MqttAdaptor::publishFileFinished(PendingTransfer& transfer, char const* call, ErrorCode code) {
    log(Log::Level::Info, "%s finished: %s", call, Bus::Common::ec2str(code).c_str());
    // The notice reads the same whatever the outcome.
    if (auto const id = transfer.finish()) {
        later([this, topic = String::format("%s/finished/%s", call, id->c_str())]() {
            client->publish(MQTT::Message(topic, MQTT::Client::makeRpcCompleted(nullptr),
                                          MQTT::Retained::No, MQTT::QoS::AtMostOnce),
                            true);
        });
    }
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileTransmit() {
    return textMembersCall({"local", "remote"}, [this](auto const& values, auto const& id) {
        return startFileTransfer(fileTransmitRequest, id,
                                 [&]() { return engine->mainFileTransmit(values[0], values[1]); });
    });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileReceive() {
    return textMembersCall({"local", "remote"}, [this](auto const& values, auto const& id) {
        return startFileTransfer(fileReceiveRequest, id,
                                 [&]() { return engine->mainFileReceive(values[0], values[1]); });
    });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileDelete() {
    return textMembersCall({"remote"}, [this](auto const& values, auto const&) {
        return successOrCodeRPC(engine->mainFileDelete(values[0]), nullptr);
    });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainFileChecksum() {
    return textMembersCall({"remote"}, [this](auto const& values, auto const&) {
        uint32_t size = 0;
        Engine::Md5 md5{};
        auto const code = engine->mainFileChecksum(values[0], size, md5);
        return successOrCodeRPC(
            code, {{"checksum", Bus::Common::Helpers::hexStr(md5, false)}, {"filesize", size}});
    });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainSecurityDisarm() {
    return textMembersCall({"password"}, [this](auto const& values, auto const&) {
        bool disarmed = false;
        auto const code = engine->mainSecurityDisarm(values[0], disarmed);
        return successOrCodeRPC(code, {{"disarmed", disarmed}});
    });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainSecurityPreAuth() {
    return textMembersCall({"passwordHash", "salt"}, [this](auto const& values, auto const&) {
        return successOrCodeRPC(engine->mainSecurityPreAuth(values[0], values[1]), nullptr);
    });
}

MqttAdaptor::RpcHandler MqttAdaptor::mainSecurityPreAuthCancel() {
    return callHandler([this]() { return engine->mainSecurityPreAuthCancel(); });
}

void MqttAdaptor::onFileTransmitProgress(float percent) {
    publishFileProgress(fileTransmitRequest, TransmitTopic, percent);
}

void MqttAdaptor::onFileTransmitFinished(ErrorCode code) {
    publishFileFinished(fileTransmitRequest, TransmitTopic, code);
}

void MqttAdaptor::onFileReceiveProgress(float percent) {
    publishFileProgress(fileReceiveRequest, ReceiveTopic, percent);
}

void MqttAdaptor::onFileReceiveFinished(ErrorCode code) {
    publishFileFinished(fileReceiveRequest, ReceiveTopic, code);
}

} // namespace velt::ZRV480::BoardManager::Manager

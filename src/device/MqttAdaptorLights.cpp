#include "device/MqttAdaptor.h"

#include "device/LightRequest.h"

#include "bus/Board.h"
#include "bus/Color.h"
#include "bus/SlotType.h"
#include "foundation/String.h"

#include <string>
#include <variant>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

// The failed reply of a refused light request: a member of the wrong shape is
// named by its text, anything else answered by its code.
std::string refuse(MqttAdaptor const& adaptor, LightRequest::Refusal const& refusal) {
    if (!refusal.warning.empty()) {
        adaptor.log(Log::Level::Warning, "%s", refusal.warning.c_str());
    }
    if (!refusal.text.empty()) {
        return MQTT::Client::makeRpcFailed(refusal.text, nullptr);
    }
    return MqttAdaptor::successOrCodeRPC(refusal.code, nullptr);
}

} // namespace

void MqttAdaptor::subscribeLights(uint8_t address) {
    // The names carry no board name: with several light boards, the first
    // registered (the lowest address) serves a name.
    client->subscribeRpc("light/action/multiplay", lightPlayPatternMulti(address));
    for (auto const& [slot, config] : engine->getBoards().at(address).getConfigs()) {
        bool const color = config.type == Bus::SlotType::Color;
        char const* const name = config.name.c_str();
        client->subscribeRpc(String::format("light/action/%s/play", name),
                             lightPlayPattern(address, slot, color));
        client->subscribeRpc(String::format("light/action/%s/transition", name),
                             color ? lightTransitionColor(address, slot)
                                   : lightTransitionValue(address, slot));
    }
}

MqttAdaptor::RpcHandler MqttAdaptor::lightPlayPattern(uint8_t address, uint8_t slot, bool color) {
    return [this, address, slot, color](std::string const&, std::string const& payload,
                                        std::string const&) {
        auto const parsed = LightRequest::play(payload, color);
        if (auto const* refusal = std::get_if<LightRequest::Refusal>(&parsed)) {
            return refuse(*this, *refusal);
        }
        auto const& [steps, repeat] = std::get<LightRequest::Pattern>(parsed);
        return successOrCodeRPC(engine->lightPatternPlay(address, slot, steps, repeat), nullptr);
    };
}

MqttAdaptor::RpcHandler MqttAdaptor::lightPlayPatternMulti(uint8_t address) {
    return [this, address](std::string const&, std::string const& payload, std::string const&) {
        auto const parsed = LightRequest::multiPlay(payload);
        if (auto const* refusal = std::get_if<LightRequest::Refusal>(&parsed)) {
            return refuse(*this, *refusal);
        }
        auto const& patterns = std::get<LightRequest::Patterns>(parsed);
        return successOrCodeRPC(engine->lightPatternMultiPlay(address, patterns), nullptr);
    };
}

MqttAdaptor::RpcHandler MqttAdaptor::lightTransitionColor(uint8_t address, uint8_t slot) {
    return
        [this, address, slot](std::string const&, std::string const& payload, std::string const&) {
            auto parsed = LightRequest::transitionColor(payload);
            if (auto const* refusal = std::get_if<LightRequest::Refusal>(&parsed)) {
                return refuse(*this, *refusal);
            }
            // The board's echo comes back in the colour.
            auto& color = std::get<Bus::ValueObjects::Color>(parsed);
            auto const code = engine->lightTransitionColor(address, slot, color);
            return successOrCodeRPC(code, color.toJson());
        };
}

MqttAdaptor::RpcHandler MqttAdaptor::lightTransitionValue(uint8_t address, uint8_t slot) {
    return
        [this, address, slot](std::string const&, std::string const& payload, std::string const&) {
            auto parsed = LightRequest::transitionValue(payload);
            if (auto const* refusal = std::get_if<LightRequest::Refusal>(&parsed)) {
                return refuse(*this, *refusal);
            }
            auto& value = std::get<uint8_t>(parsed);
            auto const code = engine->lightTransitionValue(address, slot, value);
            return successOrCodeRPC(code, value);
        };
}

} // namespace velt::ZRV480::BoardManager::Manager

#include "device/MqttAdaptor.h"

#include "device/RequestPayload.h"
#include "engine/Firmwares.h"
#include "mqtt/Message.h"

#include "bus/ErrorCode.h"
#include "bus/Schema.h"
#include "foundation/String.h"

#include <string>
#include <variant>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

char const* const NodePath = "firmwareUpgrade";

} // namespace

MqttAdaptor::Getter MqttAdaptor::firmwareUpgradeProgressGet() {
    return [this]() -> Result {
        auto const steps = firmwareUpgradeRequests.steps();
        json boards = json::object();
        float sum = 0;
        size_t shown = 0;
        for (auto const& [address, report] : engine->firmwareUpgradeGet()) {
            // Boards whose information cannot be read (offline, not yet
            // initialised) are neither shown nor counted.
            Engine::BoardInfo info;
            if (engine->boardInfoGet(address, info) != ErrorCode::Success) {
                continue;
            }
            auto const step = steps.find(address);
            uint8_t const progress = step != steps.end() ? step->second
                                     : report.state == Firmwares::State::pendingReboot ? 100
                                                                                       : 0;
            std::string const name = address == Bus::Schema::AddressService
                                         ? "service"
                                         : engine->getBoards().at(address).getName();
            boards[name] = {{"current", {{"version", info.firmwareVersion}}},
                            {"new", {{"version", report.version}}},
                            {"progress", progress},
                            {"state", Firmwares::stateToStr(report.state)}};
            sum += progress;
            ++shown;
        }
        if (shown == 0) {
            return {true, {{"boards", boards}, {"progress", 100}}};
        }
        return {true, {{"boards", boards}, {"progress", sum / static_cast<float>(shown)}}};
    };
}

MqttAdaptor::RpcHandler MqttAdaptor::firmwareUpgradeApply() {
    // Runs the synchronous reboots before it answers.
    return callHandler([this]() { return engine->firmwareUpgradeApply(); });
}

MqttAdaptor::RpcHandler MqttAdaptor::boardFirmwareUpgrade(uint8_t address) {
    return [this, address](std::string const&, std::string const& payload, std::string const& id) {
        auto const document = RequestPayload::object(payload);
        if (auto const* code = std::get_if<ErrorCode>(&document)) {
            return successOrCodeRPC(*code, nullptr);
        }
        auto const& request = std::get<json>(document);
        auto const firmware = request.find("firmware");
        if (firmware == request.end() || !firmware->is_string()) {
            return successOrCodeRPC(ErrorCode::MalformedRequest, nullptr);
        }
        auto const force = request.find("force");
        bool const forced = force != request.end() && force->is_boolean() && force->get<bool>();
        // The bus uploads one image at a time; a second request for the board
        // would only fail later and must not take over the first one's notice.
        if (!firmwareUpgradeRequests.claim(address, id)) {
            return successOrCodeRPC(ErrorCode::OtaLimit, nullptr);
        }
        auto const code =
            engine->boardOtaFirmwareUpgrade(address, firmware->get<std::string>(), forced);
        if (code != ErrorCode::Success) {
            firmwareUpgradeRequests.release(address, id);
        }
        return successOrCodeRPC(code, nullptr);
    };
}

// Both run on the upload's thread and hand their work to the adaptor's own
// thread, in order: a progress publication shows the step it reached before
// the step is raised.
void MqttAdaptor::onFirmwareUpgradeProgress(uint8_t address, float percent) {
    later([this, address, percent]() {
        if (firmwareUpgradeRequests.reaches(address, percent)) {
            publishNode(NodePath, MQTT::Retained::No);
            firmwareUpgradeRequests.advance(address);
        }
    });
}

void MqttAdaptor::onFirmwareUpgradeFinished(uint8_t address, ErrorCode code) {
    // Taken now, so that a request for the board right after its end is not
    // refused as pending. Only requested uploads have an id; the service
    // console's never has.
    auto const id = firmwareUpgradeRequests.finish(address);
    later([this, address, id, code]() {
        // The outcome shows in the node's state and where the upload ended
        // in its progress; the notice only says it ended.
        firmwareUpgradeRequests.end(address, code == ErrorCode::Success);
        publishNode(NodePath, MQTT::Retained::No);
        if (!id) {
            return;
        }
        firmwareUpgradeRequests.dropStep(address);
        std::string const& name = engine->getBoards().at(address).getName();
        client->publish(MQTT::Message(String::format("%s/action/firmwareUpgrade/finished/%s",
                                                     name.c_str(), id->c_str()),
                                      MQTT::Client::makeRpcCompleted(nullptr), MQTT::Retained::No,
                                      MQTT::QoS::AtMostOnce),
                        true);
    });
}

} // namespace velt::ZRV480::BoardManager::Manager

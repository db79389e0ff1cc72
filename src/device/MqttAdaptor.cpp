#include "device/MqttAdaptor.h"

#include "mqtt/Message.h"

#include "bus/Board.h"
#include "bus/ErrorCode.h"
#include "bus/SlotType.h"
#include "engine/Status.h"
#include "foundation/CheckedLock.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <array>
#include <chrono>
#include <cstdarg>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

// Root topics that a board of the same name would share with the service.
constexpr std::array<char const*, 7> FixedTopics = {
    "broadcast", "status", "info", "config", "statistics", "firmwareUpgrade", "error"};

} // namespace

MqttAdaptor::MqttAdaptor(std::shared_ptr<Engine> sharedEngine,
                         std::shared_ptr<MQTT::Client> sharedClient)
    : engine(std::move(sharedEngine)), client(std::move(sharedClient)) {
    warnNameCollisions();
    connectEngineSignals();
    subscribeFixedCalls();
    LambdaTree root = buildRoot();
    this->client->subscribeLambdaTree(root, "");
    this->client->connected.connect_member(this, &MqttAdaptor::onMqttConnected);
    this->client->disconnected.connect_member(this, &MqttAdaptor::onMqttDisconnected);
}

MqttAdaptor::~MqttAdaptor() = default;

void MqttAdaptor::warnNameCollisions() const {
    for (auto const& [address, board] : engine->getBoards()) {
        for (char const* topic : FixedTopics) {
            if (board.getName() == topic) {
                log(Log::Level::Warning,
                    "Board at address %d is named '%s' like a topic of the service: the "
                    "service's '%s' takes precedence where both are registered",
                    address, topic, topic);
            }
        }
    }
}

void MqttAdaptor::connectEngineSignals() {
    engine->firmwareUpgradeProgress.connect_member(this, &MqttAdaptor::onFirmwareUpgradeProgress);
    engine->firmwareUpgradeFinished.connect_member(this, &MqttAdaptor::onFirmwareUpgradeFinished);
    engine->fileTransmitProgress.connect_member(this, &MqttAdaptor::onFileTransmitProgress);
    engine->fileTransmitFinished.connect_member(this, &MqttAdaptor::onFileTransmitFinished);
    engine->fileReceiveProgress.connect_member(this, &MqttAdaptor::onFileReceiveProgress);
    engine->fileReceiveFinished.connect_member(this, &MqttAdaptor::onFileReceiveFinished);
    engine->statusChanged.connect_member(this, &MqttAdaptor::onStatusChanged);
    engine->slotNStatusChanged.connect(
        [this](std::string const& topic) { onSlotNstatusChanged(topic); });
    engine->error.connect_member(this, &MqttAdaptor::onError);
    engine->stopped.connect_member(this, &MqttAdaptor::onStop);
    engine->boardOnline.connect([this](uint8_t address) { onBoardOnlineChanged(address, true); });
    engine->boardOffline.connect([this](uint8_t address) { onBoardOnlineChanged(address, false); });
    // Emitted once per start, after every board was brought up.
    engine->boardConfigChanged.connect_member(this, &MqttAdaptor::onStarted);
    engine->boardConfigStored.connect([this](uint8_t) { onBoardConfigStored(); });
}

void MqttAdaptor::subscribeFixedCalls() {
    client->subscribeRpc("firmwareUpgrade/apply", firmwareUpgradeApply());
    client->subscribeRpc("broadcast/action/reboot", broadcastReboot());
    client->subscribeRpc("broadcast/action/heartbeat", broadcastHeartbeat());
    client->subscribeRpc("broadcast/action/resetDefaults", broadcastRestoreDefaults());
    client->subscribeRpc("main/action/disarm", mainSecurityDisarm());
    client->subscribeRpc("main/action/preauth", mainSecurityPreAuth());
    client->subscribeRpc("main/action/preauth/cancel", mainSecurityPreAuthCancel());
    client->subscribeRpc("main/action/fileTransmit", mainFileTransmit());
    client->subscribeRpc("main/action/fileReceive", mainFileReceive());
    client->subscribeRpc("main/action/fileDelete", mainFileDelete());
    client->subscribeRpc("main/action/fileChecksum", mainFileChecksum());
}

LambdaTree MqttAdaptor::buildRoot() {
    LambdaTree statistics;
    statistics.insert({"bus", LambdaTree(getManagerBusStatistics())});
    statistics.insert({"cache", LambdaTree(getManagerMonitorStatistics())});

    LambdaTree root;
    root.insert({"info", LambdaTree(getManagerInfo())});
    root.insert({"status", LambdaTree(getManagerStatus())});
    root.insert({"firmwareUpgrade", LambdaTree(firmwareUpgradeProgressGet())});
    root.insert({"statistics", statistics});

    for (auto const& [address, board] : engine->getBoards()) {
        root.insert({board.getName(), boardToLambda(address)});
        subscribeBoardCalls(address);
    }
    return root;
}

void MqttAdaptor::subscribeBoardCalls(uint8_t address) {
    Bus::Board const& board = engine->getBoards().at(address);
    std::string const& name = board.getName();
    client->subscribeRpc(name + "/action/reboot", boardReboot(address));
    client->subscribeRpc(name + "/action/firmwareUpgrade", boardFirmwareUpgrade(address));
    client->subscribeRpc(name + "/action/resetDefaults", boardRestoreDefaults(address));
    for (auto const& [slot, config] : board.getConfigs()) {
        if (config.type == Bus::SlotType::Color) {
            subscribeLights(address);
            break;
        }
    }
    for (auto const& [slot, action] : board.getActions()) {
        client->subscribeRpc(Utils::combinePath(name, Utils::combinePath("/action/", action)),
                             boardAction(address, slot));
    }
}

MqttAdaptor::json MqttAdaptor::codeToJson(ErrorCode code) {
    return {{"code", static_cast<int32_t>(code)}, {"what", Bus::Common::ec2str(code)}};
}

std::string MqttAdaptor::successOrCodeRPC(ErrorCode code, json const& data) {
    if (code == ErrorCode::Success) {
        return MQTT::Client::makeRpcCompleted(data);
    }
    return MQTT::Client::makeRpcFailed(codeToJson(code), nullptr);
}

MqttAdaptor::Result MqttAdaptor::successOrCodeLT(ErrorCode code, json const& value) {
    if (code == ErrorCode::Success) {
        return {true, value};
    }
    return {false, codeToJson(code)};
}

void MqttAdaptor::publishNode(std::string const& path, MQTT::Retained retained) {
    // A path that is not a node of the tree publishes nothing.
    client->publishLambdaTreeNode(path, retained, MQTT::QoS::AtMostOnce);
}

void MqttAdaptor::later(std::function<void()> work) {
    publisher.post(std::chrono::milliseconds(0), std::move(work));
}

void MqttAdaptor::onMqttConnected() {
    log(Log::Level::Debug, "Notified of connection!");
    publishNode("config", MQTT::Retained::Yes);
    publishNode("info", MQTT::Retained::Yes);
    publishNode("status", MQTT::Retained::Yes);
    publishNode("main/status/security", MQTT::Retained::Yes);
    if (engine->getStatus().getFirmwareUpgrade() == Status::FirmwareUpgrade::PendingReboot) {
        publishNode("firmwareUpgrade", MQTT::Retained::No);
    }
    {
        CheckedLock lock(fieldsMutex);
        connected = true;
    }
    // A broker restarted without its store has lost the retained status
    // nodes, and a change made while the connection was down was never
    // published: every status node announced so far is retained again, with
    // its current value. Set connected first, so a change announced from now
    // on is published by its own task and none falls between the two.
    later([this]() {
        std::set<std::string> topics;
        {
            CheckedLock lock(fieldsMutex);
            topics = announcedStatuses;
        }
        for (auto const& topic : topics) {
            publishNode(topic, MQTT::Retained::Yes);
        }
    });
}

void MqttAdaptor::onMqttDisconnected() {
    log(Log::Level::Debug, "Notified of disconnected!");
    CheckedLock lock(fieldsMutex);
    connected = false;
}

bool MqttAdaptor::isConnected() const {
    CheckedLock lock(fieldsMutex);
    return connected;
}

void MqttAdaptor::onStarted() {
    // The copies retained at connection time were read before the engine
    // ran: a late subscriber must not be told that the service is down, nor
    // be shown boards without information or values.
    log(Log::Level::Debug, "Notified of start!");
    later([this]() {
        publishNode("status", MQTT::Retained::Yes);
        publishNode("info", MQTT::Retained::Yes);
        publishNode("config", MQTT::Retained::Yes);
    });
}

void MqttAdaptor::onBoardConfigStored() {
    log(Log::Level::Debug, "Notified of a stored board value!");
    later([this]() { publishNode("config", MQTT::Retained::Yes); });
}

void MqttAdaptor::onStatusChanged(Status const&) {
    log(Log::Level::Debug, "Notified of onStatusChanged!");
    if (isConnected()) {
        later([this]() { publishNode("status", MQTT::Retained::Yes); });
    }
}

void MqttAdaptor::onSlotNstatusChanged(std::string const& topic) {
    log(Log::Level::Info, "Notified of onSlotNstatusChanged for topic: %s", topic.c_str());
    bool publishNow;
    {
        CheckedLock lock(fieldsMutex);
        announcedStatuses.insert(topic);
        publishNow = connected;
    }
    if (publishNow) {
        later([this, topic]() { publishNode(topic, MQTT::Retained::Yes); });
    }
}

void MqttAdaptor::onError(std::string const& text) {
    log(Log::Level::Debug, "Notified of onError!");
    later([this, text]() {
        client->publish(MQTT::Message("error", text, MQTT::Retained::No, MQTT::QoS::AtMostOnce),
                        true);
    });
}

void MqttAdaptor::onStop() {
    // Retained, so that a later subscriber reads "service" false too.
    publishNode("status", MQTT::Retained::Yes);
    client->stop();
}

void MqttAdaptor::onBoardOnlineChanged(uint8_t address, bool online) {
    std::string const name = engine->getBoards().at(address).getName();
    log(Log::Level::Debug, "Notified of onBoardOnlineChanged(%s, %s)!", name.c_str(),
        online ? "online" : "offline");

    // The edge consumes the id pending now, not one requested after it.
    std::optional<std::string> requestId;
    {
        CheckedLock lock(fieldsMutex);
        auto const pending = rebootRequestIds.find(address);
        if (pending != rebootRequestIds.end()) {
            requestId = pending->second;
            rebootRequestIds.erase(pending);
        }
    }
    later([this, name, requestId]() {
        client->updateLambdaTreeSubscriptions(name, true);
        // The board's information is read again at each initialisation.
        publishNode("info", MQTT::Retained::Yes);
        if (requestId) {
            std::string const topic =
                String::format("%s/action/reboot/finished/%s", name.c_str(), requestId->c_str());
            client->publish(MQTT::Message(topic, MQTT::Client::makeRpcCompleted(nullptr),
                                          MQTT::Retained::No, MQTT::QoS::AtMostOnce),
                            true);
        }
    });
}

void MqttAdaptor::log(Log::Level level, char const* format, ...) const {
    std::string const prefixed = std::string("[MqttAdaptor] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

} // namespace velt::ZRV480::BoardManager::Manager

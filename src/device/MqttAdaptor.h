#pragma once

// The device interface: offers the engine to MQTT clients through the
// service's client. The constructor wires everything once, before the client
// starts: handlers on the engine's signals, the service's calls, and the
// topic tree (manager nodes and one subtree per board). Afterwards it works
// only through those handlers.
//
// Threads: tree getters run on the MQTT library's threads, the subscriptions
// thread and every thread that publishes a node (under the client's tree
// lock, so no getter calls back into the client's tree). Setters and call
// handlers run on the MQTT receive thread. Signal handlers run on the
// emitting thread: monitoring, reboot poll, workers, the start-up and the
// stopping thread, and the MQTT receive thread for a board value that a
// setter saved.
//
// Engine threads never call into the broker client: the handlers of the
// engine's signals decide what to publish on the emitting thread and hand the
// publishing (and the subscription updates) to the adaptor's own thread,
// `publisher`. The broker library holds its own lock while it runs a request
// handler, and a handler may wait for an engine thread (a synchronous reboot
// joins its poll thread): an engine thread blocked in the library would
// never end. Only the stop publishes on the stopping thread, so it goes out
// before the client stops.
//
// Locks: fieldsMutex guards the adaptor's own fields (pending reboot ids,
// `connected`, the announced status nodes). It is a leaf, never held while
// publishing or calling the engine: a synchronous reboot holds the engine's
// online signal while the monitoring thread may be inside that same signal.
// The engine and the client take their own locks.

#include "device/PendingTransfer.h"
#include "device/PendingUpgrades.h"
#include "engine/Engine.h"
#include "engine/Status.h"
#include "foundation/TaskThread.h"
#include "mqtt/Client.h"

#include "bus/ErrorCode.h"
#include "foundation/CheckedMutex.h"
#include "foundation/LambdaTree.h"
#include "foundation/Log.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace velt::ZRV480::BoardManager::Manager {

class MqttAdaptor {
public:
    using json = nlohmann::json;
    using ErrorCode = Bus::Common::ErrorCode;
    using Result = std::pair<bool, json>;
    using Getter = LambdaTree::Getter;
    using Setter = LambdaTree::Setter;
    using RpcHandler = MQTT::Client::RpcHandler;

    // Keeps the engine and the client alive as long as it lives, and must
    // itself outlive every emission of the signals it connects to.
    MqttAdaptor(std::shared_ptr<Engine> engine, std::shared_ptr<MQTT::Client> client);
    // Neither disconnects its handlers nor unregisters its topics.
    virtual ~MqttAdaptor();
    MqttAdaptor(MqttAdaptor const&) = delete;
    MqttAdaptor& operator=(MqttAdaptor const&) = delete;

    // Replies made from an ErrorCode, shared by every handler.
    // {"code": code, "what": its name}
    static json codeToJson(ErrorCode code);
    // {"completed":true[,"data"]} for 0, else the failed reply with codeToJson.
    static std::string successOrCodeRPC(ErrorCode code, json const& data);
    // (true, value) for 0, else (false, codeToJson(code)).
    static Result successOrCodeLT(ErrorCode code, json const& value);

    // Publications (MqttAdaptor.cpp).
    void onMqttConnected();
    void onMqttDisconnected();
    void onStarted();
    void onBoardConfigStored();
    void onStatusChanged(Status const& status);
    void onSlotNstatusChanged(std::string const& topic);
    void onError(std::string const& text);
    void onStop();
    void onBoardOnlineChanged(uint8_t address, bool online);

    // Board subtree (MqttAdaptorBoards.cpp).
    LambdaTree boardToLambda(uint8_t address);
    Getter boardStatus(uint8_t address);
    Getter boardInfo(uint8_t address);
    Getter boardUptime(uint8_t address);
    Getter boardBootloaderFlagsGet(uint8_t address);
    Setter boardBootloaderFlagsSet(uint8_t address);
    Getter boardBootloaderStatus(uint8_t address);
    Getter boardTelemetryGet(uint8_t address, uint8_t slot);
    Getter getBoardStatusSlot(uint8_t address, uint8_t slot);
    Getter boardConfigGet(uint8_t address, uint8_t slot);
    Setter boardConfigSet(uint8_t address, uint8_t slot);

    // Board and broadcast actions (MqttAdaptorActions.cpp).
    RpcHandler boardReboot(uint8_t address);
    RpcHandler boardRestoreDefaults(uint8_t address);
    RpcHandler boardAction(uint8_t address, uint8_t action);
    RpcHandler broadcastReboot();
    RpcHandler broadcastRestoreDefaults();
    RpcHandler broadcastHeartbeat();

    // Manager nodes (MqttAdaptorManager.cpp).
    Getter getManagerInfo();
    Getter getManagerStatus();
    Getter getManagerBusStatistics();
    Getter getManagerMonitorStatistics();

    // Main-board nodes (MqttAdaptorMainBoard.cpp).
    Getter mainTimestampGet();
    Setter mainTimestampSet();
    Getter mainBusStatisticsGet();
    Getter mainNetworkStatusGet();
    Getter mainNetworkBoardServerGet();
    Setter mainNetworkBoardServerSet();
    Getter mainNetworkDhcpGet();
    Setter mainNetworkDhcpSet();
    Getter mainNetworkIpGet();
    Setter mainNetworkIpSet();
    Getter mainNetworkDnsGet();
    Setter mainNetworkDnsSet();

    // Lights (MqttAdaptorLights.cpp).
    void subscribeLights(uint8_t address);
    RpcHandler lightPlayPattern(uint8_t address, uint8_t slot, bool color);
    RpcHandler lightPlayPatternMulti(uint8_t address);
    RpcHandler lightTransitionColor(uint8_t address, uint8_t slot);
    RpcHandler lightTransitionValue(uint8_t address, uint8_t slot);

    // Main-board files and security (MqttAdaptorFiles.cpp).
    RpcHandler mainFileTransmit();
    RpcHandler mainFileReceive();
    RpcHandler mainFileDelete();
    RpcHandler mainFileChecksum();
    RpcHandler mainSecurityDisarm();
    RpcHandler mainSecurityPreAuth();
    RpcHandler mainSecurityPreAuthCancel();
    void onFileTransmitProgress(float percent);
    void onFileTransmitFinished(ErrorCode code);
    void onFileReceiveProgress(float percent);
    void onFileReceiveFinished(ErrorCode code);

    // Firmware upgrade (MqttAdaptorFirmware.cpp).
    Getter firmwareUpgradeProgressGet();
    RpcHandler firmwareUpgradeApply();
    RpcHandler boardFirmwareUpgrade(uint8_t address);
    void onFirmwareUpgradeProgress(uint8_t address, float percent);
    void onFirmwareUpgradeFinished(uint8_t address, ErrorCode code);

    // "[MqttAdaptor] <format>" at the given level.
    void log(Log::Level level, char const* format, ...) const __attribute__((format(printf, 3, 4)));

private:
    // Construction steps (MqttAdaptor.cpp).
    void connectEngineSignals();
    void subscribeFixedCalls();
    LambdaTree buildRoot();
    void subscribeBoardCalls(uint8_t address);
    void warnNameCollisions() const;
    bool isConnected() const EXCLUDES(fieldsMutex);

    // The five members of a board's information object.
    static json boardInfoToJson(Engine::BoardInfo const& info);
    // A call that runs `action` once and answers with its code.
    static RpcHandler callHandler(std::function<ErrorCode()> action);

    // Reads a telemetry or configuration slot's cached value.
    using SlotRead = ErrorCode (Engine::*)(uint8_t, uint8_t, json&) const;
    Getter slotValueGetter(SlotRead read, uint8_t address, uint8_t slot);

    // Main-board nodes below the main board's "misc" (MqttAdaptorMainBoard.cpp).
    void insertMainBoardNodes(LambdaTree& misc);
    // False, with a warning, unless every field is present and a JSON string.
    bool hasStringMembers(json const& request, std::initializer_list<char const*> fields) const;
    // The dotted address in `field`; nothing, with a warning naming `label`,
    // when it is not one.
    std::optional<Engine::Ip> parseAddressMember(json const& request, char const* field,
                                                 char const* label) const;

    // Publishes node `path` below the base topic at QoS 0.
    void publishNode(std::string const& path, MQTT::Retained retained);
    // Runs `work` on the adaptor's own thread, in posting order.
    void later(std::function<void()> work);

    std::shared_ptr<Engine> const engine;
    std::shared_ptr<MQTT::Client> const client;

    // Main-board files and security (MqttAdaptorFiles.cpp).
    // (values of the required text members in order, request id) -> reply.
    using TextMembersCall =
        std::function<std::string(std::vector<std::string> const&, std::string const&)>;
    // A call whose payload must be an object with the text members `keys`:
    // 20 or 21 otherwise, before anything is called.
    static RpcHandler textMembersCall(std::vector<char const*> keys, TextMembersCall call);
    // Claims the direction for the request and runs `start`; 71 while another
    // request of the direction is pending.
    std::string startFileTransfer(PendingTransfer& transfer, std::string const& id,
                                  std::function<ErrorCode()> const& start);
    // Progress and finished notices below the call's topic.
    void publishFileProgress(PendingTransfer& transfer, char const* call, float percent);
    void publishFileFinished(PendingTransfer& transfer, char const* call, ErrorCode code);

    // One pending request per direction. These and firmwareUpgradeRequests
    // guard themselves with a leaf lock of their own, never held while
    // publishing or calling the engine.
    PendingTransfer fileTransmitRequest;
    PendingTransfer fileReceiveRequest;
    // Firmware upgrade: pending requests and progress steps per board.
    PendingUpgrades firmwareUpgradeRequests;

    mutable CheckedMutex fieldsMutex;
    // Board address -> id of the reboot request whose finished notice is due.
    std::map<uint8_t, std::string> rebootRequestIds GUARDED_BY(fieldsMutex);
    // Between the client's connected and disconnected signals; gates the
    // status publications.
    bool connected GUARDED_BY(fieldsMutex) = false;
    // The status nodes the engine announced, connected or not: each
    // connection retains them again.
    std::set<std::string> announcedStatuses GUARDED_BY(fieldsMutex);

    // Publishes for the engine's threads. Last: its thread ends before the
    // members its tasks use go.
    TaskThread publisher;
};

} // namespace velt::ZRV480::BoardManager::Manager

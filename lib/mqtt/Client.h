#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/LambdaTree.h"
#include "foundation/Log.h"
#include "foundation/Signal.h"
#include "mqtt/Config.h"
#include "mqtt/Connection.h"
#include "mqtt/Dispatcher.h"
#include "mqtt/MQTTClientListener.h"
#include "mqtt/MQTTPublisher.h"
#include "mqtt/Message.h"
#include "mqtt/TreePublisher.h"

namespace MQTT {

// The service's MQTT endpoint: broker connection with reconnection
// (Connection), command and remote procedure call dispatch with error
// reports on "<base>/error" (Dispatcher), and the LambdaTree root published
// as get, set and monitor topics (TreePublisher).
//
// Topics: internal commands and served calls are relative to the "base"
// setting; external commands, expected responses and expected calls are
// absolute. A call N is requested on <base>/N/request/[ISSUER/]ID and
// answered on <base>/N/response/[ISSUER/]ID. A tree node P offers
// <base>/P/get, /set and /monitor, and the calls P/get, P/set, P/monitor.
//
// Threads and locks: listener operations, dispatch and every handler run on
// the MQTT library's threads; each part's header tells its own rules. The
// parts' locks are never held together, nor while a signal is emitted, a
// handler runs or the broker is called; configMutex is innermost.
class Client : public MQTTClientListener {
public:
    using json = nlohmann::json;
    using CommandHandler = Dispatcher::CommandHandler;
    using RpcHandler = Dispatcher::RpcHandler;

    // The parts of a call's request or response topic; all empty when the
    // topic has not the expected form.
    struct RpcData {
        std::string issuer;
        std::string name;
        std::string id;
    };

    // After each connection, once every topic is subscribed again.
    Signal<> connected;
    Signal<> disconnected;
    Signal<> starting;
    Signal<> stopping;
    // A subscription the broker confirmed.
    Signal<std::string> subscribed;

    // Connects nothing until start.
    Client(std::string const& defaultBase, std::string const& logName);
    // Publishes to `outbox` instead of the broker, for a harness that feeds
    // the client messages through onMessageReceived on its own thread
    // (dispatch runs on the caller's thread) without starting it. outbox
    // must outlive the client.
    Client(std::string const& defaultBase, std::string const& logName, MQTTPublisher& outbox);
    // Stops a running client first.
    ~Client() override;
    Client(Client const&) = delete;
    Client& operator=(Client const&) = delete;

    // Lifecycle. start connects (retrying every 2000 ms while running); stop
    // pauses 200 ms after "stopping", then disconnects and waits for the
    // subscriptions of the last connection to end; it is true when the
    // notice "disconnected" follows, false when nothing was connected.
    // restart hands stop and start to the client's own thread and returns
    // at once. close, after a stop, drops the library client with any
    // attempt still in flight: no notice comes once it has returned (a
    // later start makes a new one).
    void start();
    bool stop();
    void restart();
    void close();
    // Always true. Different settings restart a running client; the base
    // topic and log switches take effect at once.
    bool setConfig(Config const& config);
    Config getConfig() const;
    // One count per connection: -1 waits without limit, 0 only tries.
    bool waitConnected(int milliseconds);
    bool isRunning() const;
    bool isConnected() const;

    // Always true; with prependBase the topic is joined below the base topic.
    bool publish(Message const& message, bool prependBase);

    // Topics.
    static bool topicMatch(std::string const& topic, std::string const& filter);
    static std::string removeTopicPart(std::string const& topic, std::string const& part);

    // Commands: an internal topic is relative to the base topic, an external
    // one absolute (both may hold '+' and '#'). A topic registered twice
    // keeps its first handler.
    bool subscribeCommand(std::string const& topic, CommandHandler const& handler, bool internal);
    bool unsubscribeCommand(std::string const& topic, bool internal);
    // Publishes payload on topic and waits for a message on responseTopic:
    // (false, "") on time-out.
    std::pair<bool, std::string> command(std::string const& topic, std::string const& responseTopic,
                                         std::string const& payload, uint64_t timeoutMs);
    bool subscribeExpectedResponse(std::string const& topic);

    // Remote procedure calls served below the base topic; a name registered
    // twice keeps its first handler.
    bool subscribeRpc(std::string const& name, RpcHandler const& handler);
    bool unsubscribeRpc(std::string const& name);
    // Calls another service's procedure (absolute name): (false, "") on
    // time-out, else the reply payload.
    std::pair<bool, std::string> rpc(std::string const& name, std::string const& payload,
                                     uint64_t timeoutMs);
    bool subscribeExpectedRpc(std::string const& name);
    RpcData parseRpcTopicRequest(std::string const& topic) const;
    static RpcData parseRpcTopicResponse(std::string const& topic);
    // {"completed":true[,"data"]} and {"completed":false[,"data"][,"error"]};
    // null, {} and [] are left out.
    static std::string makeRpcCompleted(json const& data);
    static std::string makeRpcFailed(json const& error, json const& data);

    // Tree topics (see TreePublisher).
    bool subscribeLambdaTree(LambdaTree const& tree, std::string const& path);
    bool updateLambdaTreeSubscriptions(std::string const& path, bool dumpBefore);
    bool publishLambdaTreeNode(std::string const& path, Retained retained, QoS qos);
    std::string handleLambdaTreeRpcGet(std::string const& path, std::string const& name,
                                       std::string const& payload, std::string const& id);
    std::string handleLambdaTreeRpcSet(std::string const& path, std::string const& name,
                                       std::string const& payload, std::string const& id);

    // Called on the library's threads, or by a harness.
    void onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                           bool retained) override;

private:
    // The parts log as the client, read the settings at each use and write
    // the reply texts.
    friend class Connection;
    friend class Dispatcher;
    friend class TreePublisher;

    // "[<logName>::Client] <format>" at the given level.
    void log(Log::Level level, char const* format, ...) const __attribute__((format(printf, 3, 4)));

    // Without publisher, the library client is the outbox.
    Client(std::string const& defaultBase, std::string const& logName, MQTTPublisher* publisher);

    // Listener operations, called on the library's threads.
    void onConnected() override;
    void onDisconnected() override;
    void onSubscribed(std::string const& topic) override;
    void onUnsubscribed(std::string const& topic) override;
    void onMessageSent(int id) override;
    void onMessageDelivered(int id) override;
    void onConnectFailed(std::string const& reason) override;
    void onSubscribeFailed(std::string const& topic) override;
    void onUnsubscribeFailed(std::string const& topic) override;
    void onMessageSendFailed(int id) override;

    // The settings every message reads, kept beside the configuration and
    // replaced with it, so that no message parses them again.
    struct MessageSettings {
        std::string base;
        bool logReceived;
        bool logPublished;
        bool logPayload;
        bool logSubscriptions;
    };
    static MessageSettings messageSettingsOf(Config const& settings);
    // Settings read at each use, under configMutex.
    std::string base() const;
    bool logSwitch(bool MessageSettings::*flag) const;

    void subscriptionsThreadBody();
    void subscriptionFunction();

    // The one writer of both reply forms, with the data given as text, so
    // that a tree's value goes out as the tree writes it, never copied.
    static std::string rpcReplyText(bool completed, std::string const& data, json const& error);

    std::string const logName;
    mutable CheckedMutex configMutex;
    Config config GUARDED_BY(configMutex);
    MessageSettings messageSettings GUARDED_BY(configMutex);

    Connection connection;
    MQTTPublisher& outbox; // the library client, unless a harness gave another
    Dispatcher dispatcher;
    TreePublisher tree;
    // Set once the tree's topics are derived, on this client's first connection.
    std::atomic<bool> treeRegistered{false};
};

} // namespace MQTT

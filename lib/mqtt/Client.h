#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/LambdaTree.h"
#include "foundation/Log.h"
#include "foundation/Semaphore.h"
#include "foundation/Signal.h"
#include "mqtt/Config.h"
#include "mqtt/MQTTClient.h"
#include "mqtt/MQTTClientListener.h"
#include "mqtt/MQTTPublisher.h"
#include "mqtt/Message.h"
#include "mqtt/TaskThread.h"
#include "mqtt/TopicTable.h"

namespace MQTT {

// The service's MQTT endpoint: broker connection with reconnection, command
// and remote procedure call dispatch, error reports on "<base>/error", and
// the LambdaTree root published as get, set and monitor topics.
//
// Topics: internal commands and served calls are relative to the "base"
// setting; external commands, expected responses and expected calls are
// absolute. A call N is requested on <base>/N/request/[ISSUER/]ID and
// answered on <base>/N/response/[ISSUER/]ID. A tree node P offers
// <base>/P/get, /set and /monitor, and the calls P/get, P/set, P/monitor.
//
// Threads and locks:
// - Listener operations, dispatch and every handler run on the MQTT
//   library's threads. Connection attempts, reconnections and restarts run on
//   a thread of our own (tasks), never on a library thread: the library
//   forbids destroying its client from inside its callbacks.
// - treeMutex is the registration lock (root, the tables, monitors). Handlers
//   are copied under it and called without it: they may register further
//   handlers, publish or block.
// - Getters run under treeMutex (update, get, topic listings), so no getter
//   may take it. Setters are called without it: a setter may call
//   updateLambdaTreeSubscriptions, or join a thread whose change callbacks
//   wait for treeMutex. Never hold treeMutex, or any lock that a change
//   callback takes, across a setter.
// - Change callbacks run on the thread that emits the node's signal (the
//   engine's monitoring thread), inside that emission: they only hand the
//   notification to the client's notification thread, which refreshes and
//   publishes under treeMutex. So the emitting thread never waits for
//   treeMutex, and grafting may copy nodes bound to signals under it. At
//   most one refresh waits per monitor: changes meanwhile join it.
// - A set walks the node's subtree under treeMutex, let go only while each
//   setter runs; it starts at the deepest group on the path, so it never
//   writes the values of the nodes above it.
// - treeMutex, pendingRpcsMutex, pendingCommandsMutex and connectionMutex
//   are never held together, nor while a signal is emitted, a handler runs or
//   the broker is called; configMutex and logNameMutex are innermost.
class Client : public MQTTClientListener {
public:
    using json = nlohmann::json;
    using CommandHandler = std::function<void(Message const&)>;
    // (name, request payload, id) -> reply payload.
    using RpcHandler =
        std::function<std::string(std::string const&, std::string const&, std::string const&)>;

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
    // subscriptions of the last connection to end. restart hands stop
    // and start to the client's own thread and returns at once.
    void start();
    void stop();
    void restart();
    // Always true. Different settings restart a running client; the base
    // topic and log switches take effect at once.
    bool setConfig(Config const& config);
    Config getConfig() const;
    // One count per connection: -1 waits without limit, 0 only tries.
    bool waitConnected(int milliseconds);
    bool isRunning() const;
    bool isConnected() const;
    std::string getLogName() const;
    void setLogName(std::string const& name);

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
    bool unsubscribeExpectedResponse(std::string const& topic);
    // The report {"command": topic, "error": error} for "error" below the base.
    Message makeErrorMessage(json const& error, std::string const& topic) const;

    // Remote procedure calls served below the base topic; a name registered
    // twice keeps its first handler.
    bool subscribeRpc(std::string const& name, RpcHandler const& handler);
    bool unsubscribeRpc(std::string const& name);
    // Calls another service's procedure (absolute name): (false, "") on
    // time-out, else the reply payload.
    std::pair<bool, std::string> rpc(std::string const& name, std::string const& payload,
                                     uint64_t timeoutMs);
    bool subscribeExpectedRpc(std::string const& name);
    bool unsubscribeExpectedRpc(std::string const& name);
    RpcData parseRpcTopicRequest(std::string const& topic) const;
    static RpcData parseRpcTopicResponse(std::string const& topic);
    // {"completed":true[,"data"]} and {"completed":false[,"data"][,"error"]};
    // null, {} and [] are left out.
    static std::string makeRpcCompleted(json const& data);
    static std::string makeRpcFailed(json const& error, json const& data);

    // Tree topics. subscribeLambdaTree grafts copies of tree's children
    // below path (a name already there keeps its node).
    bool subscribeLambdaTree(LambdaTree const& tree, std::string const& path);
    // Refreshes the subtree and makes the registrations follow it; with
    // dumpBefore, topics that vanished are removed.
    bool updateLambdaTreeSubscriptions(std::string const& path, bool dumpBefore);
    bool unsubscribeLambdaTree(std::string const& path);
    // Refreshes the node and publishes its value on its own topic.
    bool publishLambdaTreeNode(std::string const& path, Retained retained, QoS qos);

    // Dispatch steps, in the order they are offered a received message.
    bool handleReceivedCommandResponse(Message const& message);
    bool handleReceivedCommandInternal(Message const& message);
    bool handleReceivedCommandExternal(Message const& message);
    bool handleReceivedRpcRequest(Message const& message);
    bool handleReceivedRpcResponse(Message const& message);

    // Tree handlers, bound per node path.
    void handleLambdaTreeGet(std::string const& path, Message const& message);
    void handleLambdaTreeSet(std::string const& path, Message const& message);
    void handleLambdaTreeMonitor(std::string const& path, Message const& message);
    std::string handleLambdaTreeRpcGet(std::string const& path, std::string const& name,
                                       std::string const& payload, std::string const& id);
    std::string handleLambdaTreeRpcSet(std::string const& path, std::string const& name,
                                       std::string const& payload, std::string const& id);
    std::string handleLambdaTreeRpcMonitor(std::string const& path, std::string const& name,
                                           std::string const& payload, std::string const& id);

    // Listener operations, called on the library's threads.
    void onConnected() override;
    void onDisconnected() override;
    void onSubscribed(std::string const& topic) override;
    void onUnsubscribed(std::string const& topic) override;
    void onMessageSent(int id) override;
    void onMessageDelivered(int id) override;
    void onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                           bool retained) override;
    void onConnectFailed(std::string const& reason) override;
    void onSubscribeFailed(std::string const& topic) override;
    void onUnsubscribeFailed(std::string const& topic) override;
    void onMessageSendFailed(int id) override;

    // "[<logName>::Client] <format>" at the given level.
    void log(Log::Level level, char const* format, ...) const __attribute__((format(printf, 3, 4)));

private:
    // The two forms of a tree operation; each has its own monitor rate limit.
    enum class Form { Command = 0, Rpc = 1 };
    // What a monitor request asks for.
    struct MonitorRequest {
        bool valid;
        std::string error;
        bool active;
        uint64_t skipChangesForMs;
    };
    struct TreeTopics {
        std::vector<std::string> get;
        std::vector<std::string> set;
        std::vector<std::string> notify;
    };

    // Settings read at each use, under configMutex.
    std::string base() const;
    bool logSwitch(bool (Config::*getter)() const) const;

    // Connection attempts on the task thread.
    void scheduleConnect(int delayMs);
    // Runs `retry` on our task thread after RetryDelayMs unless the client
    // was stopped or started again meanwhile (a connection resubscribes
    // everything). Never waits on a library thread: the library holds its
    // own lock while it reports, and a stop waits for that lock.
    void scheduleRetry(std::function<void()> retry);
    void attemptConnect(uint64_t generation);
    void stopSteps();
    void subscriptionFunction();
    void subscriptionsThreadBody();
    // Returns once no subscriptions thread runs; none starts after a stop.
    void waitSubscriptionsDone();

    void dispatch(Message const& message);
    // The first entry whose key, as a filter, matches topic: a scan, for the
    // small tables of awaited replies.
    template <typename Table>
    static typename Table::const_iterator firstMatch(Table const& table, std::string const& topic);
    // Registers a one-shot handler under key in pending, publishes request
    // and waits for the handler's message: (false, "") on time-out.
    std::pair<bool, std::string> awaitReply(std::map<std::string, CommandHandler>& pending,
                                            std::mutex& pendingMutex, std::string const& key,
                                            Message const& request, uint64_t timeoutMs);
    void publishError(json const& error, std::string const& topic);

    // Registers the topics of path's subtree that are not in before and
    // removes those that vanished, after refreshing the refresh paths.
    bool followTree(std::string const& path, TreeTopics const& before,
                    std::vector<std::string> const& refresh);
    // Calls action with (node path, "get" / "set" / "monitor") for each entry.
    static void
    forEachTreeTopic(std::string const& path, TreeTopics const& topics,
                     std::function<void(std::string const&, std::string const&)> const& action);
    // Both forms of one node operation.
    bool subscribeTreeNode(std::string const& node, std::string const& operation);
    bool unsubscribeTreeNode(std::string const& node, std::string const& operation);
    // Under treeMutex.
    TreeTopics listTreeTopics(std::string const& path) const;
    // The node's value as text, written under treeMutex straight from the tree.
    std::string refreshedText(std::string const& path, LambdaTree::Errors* errors);
    json storedValue(std::string const& path) const;
    // Calls the setters without treeMutex; error keys are paths from root.
    LambdaTree::Errors writeTree(std::string const& path, json const& value);
    void publishNodeValue(std::string const& path, std::string const& text);
    // The node's value as last read.
    json monitorEnable(Form form, std::string const& path, uint64_t skipChangesForMs);
    void monitorDisable(std::string const& path, uint64_t skipChangesForMs);
    void onTreeChanged(Form form, std::string const& path, uint64_t skipChangesForMs);

    // The one writer of both reply forms, with the data given as text, so
    // that a tree's value goes out as the tree writes it, never copied.
    static std::string rpcReplyText(bool completed, std::string const& data, json const& error);
    static bool parsePayload(std::string const& payload, json& value);
    // The debug line of a tree call; a password in the payload is masked.
    void logTreeRpc(std::string const& path, std::string const& payload) const;
    static MonitorRequest parseMonitorRequest(std::string const& payload);
    static json errorsToJson(LambdaTree::Errors const& errors);

    std::atomic<bool> running{false};
    mutable std::mutex logNameMutex; // guards logName
    std::string logName;
    MQTTClient brokerClient;
    MQTTPublisher& outbox;          // brokerClient, unless a harness gave another
    mutable std::mutex configMutex; // guards config
    Config config;
    std::mutex randomMutex; // guards random
    std::linear_congruential_engine<uint64_t, 16807, 0, 2147483647> random;
    Semaphore connectedSemaphore;

    // guards root, the tables below it, monitors and the time of the last
    // change notification per form
    mutable std::mutex treeMutex;
    LambdaTree root;
    TopicTable<CommandHandler> commands;
    TopicTable<CommandHandler> externalCommands;
    TopicTable<RpcHandler> rpcs;
    std::set<std::string> expectedRpcs;
    std::set<std::string> expectedResponses;
    std::map<std::string, uint64_t> monitors;
    bool previousChangeSet[2] = {false, false};
    int64_t previousChange[2] = {0, 0}; // per form, monotonic nanoseconds

    std::mutex pendingRpcsMutex; // guards pendingRpcs
    std::map<std::string, CommandHandler> pendingRpcs;
    std::mutex pendingCommandsMutex; // guards pendingCommands
    std::map<std::string, CommandHandler> pendingCommands;

    std::mutex connectionMutex; // guards generation and attemptPending
    // Counts starts and stops: an attempt scheduled before either is dropped.
    uint64_t generation = 0;
    // An attempt is scheduled or awaits its result: at most one at a time.
    bool attemptPending = false;

    std::mutex subscriptionsMutex; // guards subscriptionThreads
    std::condition_variable subscriptionsDone;
    // Subscriptions threads still running; the destructor waits for them.
    int subscriptionThreads = 0;

    // Last members: their threads are joined before the others go.
    // Connection attempts and restarts.
    TaskThread tasks;
    // Change notifications of monitors: one waiting refresh per monitor.
    TaskThread notifications;
};

} // namespace MQTT

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/LambdaTree.h"
#include "foundation/TaskThread.h"
#include "mqtt/Message.h"

namespace MQTT {

class Client;
class Dispatcher;

// Publishes a LambdaTree root: each node P offers the commands <base>/P/get,
// /set and /monitor and the calls P/get, P/set and P/monitor, registered
// with the dispatcher as the tree's topics appear and removed as they go.
//
// The tree's shape is set before the client starts: the device interface
// and the configuration graft their trees at construction. Once it runs,
// only what lies below a node may change (a board's subtree after a
// reboot, the configuration's keys), and updateLambdaTreeSubscriptions
// makes the registrations follow; a graft while running is followed the
// same way.
//
// Threads and locks:
// - treeMutex guards root, monitors and the time of the last change
//   notification per form. It is never held while a handler runs, the
//   dispatcher registers or anything is published.
// - Getters run under treeMutex (update, get, topic listings), so no getter
//   may take it. Setters are called without it: a setter may call
//   updateLambdaTreeSubscriptions, or join a thread whose change callbacks
//   wait for treeMutex. Never hold treeMutex, or any lock that a change
//   callback takes, across a setter.
// - Change callbacks run on the thread that emits the node's signal (the
//   engine's monitoring thread), inside that emission: they only hand the
//   notification to the notification thread, which refreshes and publishes
//   under treeMutex. So the emitting thread never waits for treeMutex, and
//   grafting may copy nodes bound to signals under it. At most one refresh
//   waits per monitor: changes meanwhile join it.
// - A set walks the node's subtree under treeMutex, let go only while each
//   setter runs; it starts at the deepest group on the path, so it never
//   writes the values of the nodes above it.
class TreePublisher {
public:
    using json = nlohmann::json;

    TreePublisher(Client& client, Dispatcher& messageDispatcher);
    TreePublisher(TreePublisher const&) = delete;
    TreePublisher& operator=(TreePublisher const&) = delete;

    // Grafts copies of tree's children below path (a name already there
    // keeps its node).
    bool subscribeLambdaTree(LambdaTree const& tree, std::string const& path);
    // Refreshes the subtree and makes the registrations follow it; with
    // dumpBefore, topics that vanished are removed.
    bool updateLambdaTreeSubscriptions(std::string const& path, bool dumpBefore);
    bool unsubscribeLambdaTree(std::string const& path);
    // Refreshes the node and publishes its value on its own topic.
    bool publishLambdaTreeNode(std::string const& path, Retained retained, QoS qos);

    std::string handleLambdaTreeRpcGet(std::string const& path, std::string const& name,
                                       std::string const& payload, std::string const& id);
    std::string handleLambdaTreeRpcSet(std::string const& path, std::string const& name,
                                       std::string const& payload, std::string const& id);

    // Drops the change notifications not yet published; later ones are
    // dropped.
    void stopNotifications();
    // The tree's nodes leave their signals: no change callback runs after.
    void clear();

private:
    // The two forms of a tree operation; each has its own monitor rate limit.
    enum class Form { Command = 0, Rpc = 1 };
    // What a monitor request asks for.
    struct MonitorRequest {
        bool valid;
        json error; // a text, or a document with a result code
        bool active;
        uint64_t skipChangesForMs;
    };
    struct TreeTopics {
        std::vector<std::string> get;
        std::vector<std::string> set;
        std::vector<std::string> notify;
    };

    // Tree handlers, bound per node path.
    void handleLambdaTreeGet(std::string const& path, Message const& message);
    void handleLambdaTreeSet(std::string const& path, Message const& message);
    void handleLambdaTreeMonitor(std::string const& path, Message const& message);
    std::string handleLambdaTreeRpcMonitor(std::string const& path, std::string const& name,
                                           std::string const& payload, std::string const& id);

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
    TreeTopics listTreeTopics(std::string const& path) const REQUIRES(treeMutex);
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

    static bool parsePayload(std::string const& payload, json& value);
    // The debug line of a tree call; a password in the payload is masked.
    void logTreeRpc(std::string const& path, std::string const& payload) const;
    static MonitorRequest parseMonitorRequest(std::string const& payload);
    // The error of a refused monitor call's reply.
    static json monitorRefusal(MonitorRequest const& request);
    static json errorsToJson(LambdaTree::Errors const& errors);

    Client& owner;
    Dispatcher& dispatcher;

    mutable CheckedMutex treeMutex;
    LambdaTree root GUARDED_BY(treeMutex);
    std::map<std::string, uint64_t> monitors GUARDED_BY(treeMutex);
    bool previousChangeSet[2] GUARDED_BY(treeMutex) = {false, false};
    // per form, monotonic nanoseconds
    int64_t previousChange[2] GUARDED_BY(treeMutex) = {0, 0};

    // Last member: change notifications of monitors, one waiting refresh per
    // monitor; its thread is joined before the tree goes.
    TaskThread notifications;
};

} // namespace MQTT

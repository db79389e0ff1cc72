#include "mqtt/TreePublisher.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/Secrets.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "mqtt/Client.h"
#include "mqtt/Dispatcher.h"

namespace MQTT {

namespace {

// Deeper payloads are refused before anything walks them: the tree and the
// settings store recurse over a value's levels.
constexpr int MaxJsonDepth = 64;

// A monitor's longest pause between published changes: a day.
constexpr double MaxSkipChangesForMs = 86400000;

// Refuses "skipChangesForMs" as the service's result code 22
// (InvalidParameter) with the rule in words.
nlohmann::json skipRefusal() {
    return {{"code", 22},
            {"what", "InvalidParameter"},
            {"description", "'skipChangesForMs' must be a whole number of milliseconds from 0 "
                            "to 86400000"}};
}

int64_t monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Entries of from that are missing from other, in the order of from.
std::vector<std::string> missingFrom(std::vector<std::string> const& from,
                                     std::vector<std::string> const& other) {
    std::vector<std::string> result;
    for (auto const& entry : from) {
        bool found = false;
        for (auto const& candidate : other) {
            if (candidate == entry) {
                found = true;
                break;
            }
        }
        if (!found) {
            result.push_back(entry);
        }
    }
    return result;
}

bool nestsTooDeep(std::string const& text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char const c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MaxJsonDepth) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

} // namespace

TreePublisher::TreePublisher(Client& client, Dispatcher& messageDispatcher)
    : owner(client), dispatcher(messageDispatcher) {}

void TreePublisher::stopNotifications() {
    notifications.shutdown();
}

void TreePublisher::clear() {
    CheckedLock lock(treeMutex);
    root = LambdaTree();
}

bool TreePublisher::parsePayload(std::string const& payload, json& value) {
    if (nestsTooDeep(payload)) {
        return false;
    }
    value = json::parse(payload, nullptr, false);
    return !value.is_discarded();
}

void TreePublisher::logTreeRpc(std::string const& path, std::string const& payload) const {
    if (Log::isEnabled(Log::Level::Debug)) {
        owner.log(Log::Level::Debug, "Handling LambdaTree RPC '%s' '%s'", path.c_str(),
                  String::clip(Secrets::maskedPayload(path, payload)).c_str());
    }
}

TreePublisher::MonitorRequest TreePublisher::parseMonitorRequest(std::string const& payload) {
    if (payload.empty()) {
        return {true, "", true, 0};
    }
    json request;
    if (!parsePayload(payload, request)) {
        return {false, "Malformed json", false, 0};
    }
    if (!request.is_object() || !request.contains("active") || !request["active"].is_boolean()) {
        return {false, "'active' must be boolean", false, 0};
    }
    uint64_t skip = 0;
    auto const found = request.find("skipChangesForMs");
    if (found != request.end()) {
        double const ms = found->is_number() ? found->get<double>() : -1.0;
        if (!(ms >= 0.0 && ms <= MaxSkipChangesForMs) || std::floor(ms) != ms) {
            return {false, skipRefusal(), false, 0};
        }
        skip = static_cast<uint64_t>(ms);
    }
    return {true, "", request["active"].get<bool>(), skip};
}

TreePublisher::json TreePublisher::monitorRefusal(MonitorRequest const& request) {
    return request.error.is_string() ? json{{"description", request.error}} : request.error;
}

TreePublisher::json TreePublisher::errorsToJson(LambdaTree::Errors const& errors) {
    json object = json::object();
    for (auto const& entry : errors) {
        object[entry.first] = entry.second;
    }
    return object;
}

bool TreePublisher::subscribeLambdaTree(LambdaTree const& tree, std::string const& path) {
    TreeTopics before;
    {
        CheckedLock lock(treeMutex);
        before = listTreeTopics("");
        LambdaTree* node = &root;
        for (auto const& level : String::tokenizeV(path, "/")) {
            node = &node->insert({level, LambdaTree()}).first->second;
        }
        for (auto const& child : tree) {
            node->insert(child);
        }
    }
    if (!owner.isRunning()) {
        return true;
    }
    // Compared with the listing from before the graft, so that the new
    // nodes count as new.
    std::vector<std::string> refresh;
    for (auto const& child : tree) {
        refresh.push_back(Utils::combinePath(path, child.first));
    }
    return followTree("", before, refresh);
}

bool TreePublisher::updateLambdaTreeSubscriptions(std::string const& path, bool dumpBefore) {
    TreeTopics before;
    {
        CheckedLock lock(treeMutex);
        if (root.size() == 0 || (!path.empty() && !root.topicExists(path))) {
            return false;
        }
        if (dumpBefore) {
            before = listTreeTopics(path);
        }
    }
    owner.log(Log::Level::Debug, "Collected %zu topics of '%s' before the update",
              before.get.size() + before.set.size() + before.notify.size(), path.c_str());
    return followTree(path, before, {path});
}

bool TreePublisher::followTree(std::string const& path, TreeTopics const& before,
                               std::vector<std::string> const& refresh) {
    bool ok = true;
    TreeTopics after;
    {
        CheckedLock lock(treeMutex);
        for (auto const& refreshed : refresh) {
            owner.log(Log::Level::Debug, "Calling update on '%s'...", refreshed.c_str());
            ok = root.update(refreshed).empty() && ok;
        }
        after = listTreeTopics(path);
    }
    owner.log(Log::Level::Debug, "Collected %zu get topics of '%s' after the update",
              after.get.size(), path.c_str());
    owner.log(Log::Level::Debug, "Collected %zu set topics of '%s' after the update",
              after.set.size(), path.c_str());
    owner.log(Log::Level::Debug, "Collected %zu notify topics of '%s' after the update",
              after.notify.size(), path.c_str());

    owner.log(Log::Level::Debug, "Filtering topics to unsubscribe");
    TreeTopics const vanished = {missingFrom(before.get, after.get),
                                 missingFrom(before.set, after.set),
                                 missingFrom(before.notify, after.notify)};
    owner.log(Log::Level::Debug, "Filtering topics to subscribe");
    TreeTopics const appeared = {missingFrom(after.get, before.get),
                                 missingFrom(after.set, before.set),
                                 missingFrom(after.notify, before.notify)};

    owner.log(Log::Level::Debug, "Unsubscribing...");
    forEachTreeTopic(path, vanished, [&](std::string const& node, std::string const& operation) {
        ok = unsubscribeTreeNode(node, operation) && ok;
    });
    owner.log(Log::Level::Debug, "Subscribing...");
    forEachTreeTopic(path, appeared, [&](std::string const& node, std::string const& operation) {
        ok = subscribeTreeNode(node, operation) && ok;
    });
    return ok;
}

void TreePublisher::forEachTreeTopic(
    std::string const& path, TreeTopics const& topics,
    std::function<void(std::string const&, std::string const&)> const& action) {
    for (auto const& entry : topics.get) {
        action(Utils::combinePath(path, entry), "get");
    }
    for (auto const& entry : topics.set) {
        action(Utils::combinePath(path, entry), "set");
    }
    for (auto const& entry : topics.notify) {
        action(Utils::combinePath(path, entry), "monitor");
    }
}

TreePublisher::TreeTopics TreePublisher::listTreeTopics(std::string const& path) const {
    return {root.topicDump(path, LambdaTree::Get), root.topicDump(path, LambdaTree::Set),
            root.topicDump(path, LambdaTree::Notify)};
}

bool TreePublisher::subscribeTreeNode(std::string const& node, std::string const& operation) {
    std::string const topic = Utils::combinePath(node, operation);
    Dispatcher::RpcHandler rpcHandler;
    Dispatcher::CommandHandler commandHandler;
    if (operation == "get") {
        rpcHandler = [this, node](std::string const& name, std::string const& payload,
                                  std::string const& id) {
            return handleLambdaTreeRpcGet(node, name, payload, id);
        };
        commandHandler = [this, node](Message const& message) {
            handleLambdaTreeGet(node, message);
        };
    } else if (operation == "set") {
        rpcHandler = [this, node](std::string const& name, std::string const& payload,
                                  std::string const& id) {
            return handleLambdaTreeRpcSet(node, name, payload, id);
        };
        commandHandler = [this, node](Message const& message) {
            handleLambdaTreeSet(node, message);
        };
    } else {
        rpcHandler = [this, node](std::string const& name, std::string const& payload,
                                  std::string const& id) {
            return handleLambdaTreeRpcMonitor(node, name, payload, id);
        };
        commandHandler = [this, node](Message const& message) {
            handleLambdaTreeMonitor(node, message);
        };
    }
    bool const rpcOk = dispatcher.subscribeRpc(topic, rpcHandler);
    bool const commandOk = dispatcher.subscribeCommand(topic, commandHandler, true);
    return rpcOk && commandOk;
}

bool TreePublisher::unsubscribeTreeNode(std::string const& node, std::string const& operation) {
    std::string const topic = Utils::combinePath(node, operation);
    bool const rpcOk = dispatcher.unsubscribeRpc(topic);
    bool const commandOk = dispatcher.unsubscribeCommand(topic, true);
    return rpcOk && commandOk;
}

bool TreePublisher::unsubscribeLambdaTree(std::string const& path) {
    TreeTopics listed;
    {
        CheckedLock lock(treeMutex);
        if (path.empty() || !root.topicExists(path)) {
            return false;
        }
        listed = listTreeTopics(path);
        std::vector<std::string> const levels = String::tokenizeV(path, "/");
        LambdaTree* parent = &root;
        for (size_t i = 0; i + 1 < levels.size(); ++i) {
            parent = &parent->at(levels[i]);
        }
        parent->erase(levels.back());
    }
    bool ok = true;
    forEachTreeTopic(path, listed, [&](std::string const& node, std::string const& operation) {
        ok = unsubscribeTreeNode(node, operation) && ok;
    });
    return ok;
}

std::string TreePublisher::refreshedText(std::string const& path, LambdaTree::Errors* errors) {
    CheckedLock lock(treeMutex);
    LambdaTree::Errors found = root.update(path);
    if (errors) {
        *errors = std::move(found);
    }
    return root.dump(path);
}

LambdaTree::Errors TreePublisher::writeTree(std::string const& path, json const& value) {
    // The walk holds treeMutex like every other walk, but lets it go while a
    // setter runs (see the header); it starts at the deepest group on the
    // path and leaves the nodes above it alone; a lambda node below that
    // group unwraps the rest of the path itself.
    LambdaTree* start = &root;
    std::string startPath;
    std::string rest;
    LambdaTree::Errors found;
    {
        // The tree lets the lock go around each setter and takes it again,
        // out of the analysis' sight: the fields it guards are only touched
        // by the tree while the lock is held.
        CheckedLock lock(treeMutex);
        root.target(path, ""); // the tree's own error for a path that does not resolve
        std::vector<std::string> const levels = String::tokenizeV(path, "/");
        size_t consumed = 0;
        while (consumed < levels.size()) {
            LambdaTree& child = start->at(levels[consumed]);
            if (child.getKind() != LambdaTree::Kind::Group) {
                break;
            }
            start = &child;
            startPath = Utils::combinePath(startPath, levels[consumed]);
            ++consumed;
        }
        for (size_t i = consumed; i < levels.size(); ++i) {
            rest = Utils::combinePath(rest, levels[i]);
        }
        found = start->set(rest, value, lock);
    }
    LambdaTree::Errors errors;
    for (auto& entry : found) {
        errors[Utils::combinePath(startPath, entry.first)] = std::move(entry.second);
    }
    return errors;
}

bool TreePublisher::publishLambdaTreeNode(std::string const& path, Retained retained, QoS qos) {
    std::string text;
    {
        CheckedLock lock(treeMutex);
        if (!root.topicExists(path)) {
            return false;
        }
        root.update(path);
        text = root.dump(path);
    }
    owner.publish(Message(path, text, retained, qos), true);
    return true;
}

void TreePublisher::publishNodeValue(std::string const& path, std::string const& text) {
    owner.publish(Message(path, text, Retained::No, QoS::AtMostOnce), true);
}

void TreePublisher::handleLambdaTreeGet(std::string const& path, Message const& message) {
    LambdaTree::Errors errors;
    std::string const text = refreshedText(path, &errors);
    if (!errors.empty()) {
        dispatcher.publishError(errorsToJson(errors), message.topic);
    }
    publishNodeValue(path, text);
}

void TreePublisher::handleLambdaTreeSet(std::string const& path, Message const& message) {
    if (message.payload.empty()) {
        publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
        return;
    }
    json value;
    if (!parsePayload(message.payload, value)) {
        dispatcher.publishError("Malformed json", message.topic);
        return;
    }
    LambdaTree::Errors const errors = writeTree(path, value);
    if (!errors.empty()) {
        dispatcher.publishError(errorsToJson(errors), message.topic);
    }
    owner.log(Log::Level::Debug, "Publishing node '%s'", path.c_str());
    publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
}

void TreePublisher::handleLambdaTreeMonitor(std::string const& path, Message const& message) {
    MonitorRequest const request = parseMonitorRequest(message.payload);
    if (!request.valid) {
        dispatcher.publishError(request.error, message.topic);
        return;
    }
    if (!request.active) {
        monitorDisable(path, request.skipChangesForMs);
        return;
    }
    json const value = monitorEnable(Form::Command, path, request.skipChangesForMs);
    publishNodeValue(path, value.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::string TreePublisher::handleLambdaTreeRpcGet(std::string const& path, std::string const&,
                                                  std::string const& payload, std::string const&) {
    logTreeRpc(path, payload);
    LambdaTree::Errors errors;
    std::string const text = refreshedText(path, &errors);
    return errors.empty() ? Client::rpcReplyText(true, text, nullptr)
                          : Client::rpcReplyText(false, text, errorsToJson(errors));
}

std::string TreePublisher::handleLambdaTreeRpcSet(std::string const& path, std::string const&,
                                                  std::string const& payload, std::string const&) {
    logTreeRpc(path, payload);
    if (payload.empty()) {
        publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
        return Client::makeRpcCompleted(storedValue(path));
    }
    json value;
    if (!parsePayload(payload, value)) {
        return Client::makeRpcFailed({{"description", "Malformed json"}}, nullptr);
    }
    LambdaTree::Errors const errors = writeTree(path, value);
    publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
    json const current = storedValue(path);
    return errors.empty() ? Client::makeRpcCompleted(current)
                          : Client::makeRpcFailed(errorsToJson(errors), current);
}

std::string TreePublisher::handleLambdaTreeRpcMonitor(std::string const& path, std::string const&,
                                                      std::string const& payload,
                                                      std::string const&) {
    MonitorRequest const request = parseMonitorRequest(payload);
    if (!request.valid) {
        return Client::makeRpcFailed(monitorRefusal(request), nullptr);
    }
    if (!request.active) {
        monitorDisable(path, request.skipChangesForMs);
        return Client::makeRpcCompleted({{"active", false}});
    }
    monitorEnable(Form::Rpc, path, request.skipChangesForMs);
    return Client::makeRpcCompleted(
        {{"active", true}, {"skipChangesForMs", request.skipChangesForMs}});
}

TreePublisher::json TreePublisher::storedValue(std::string const& path) const {
    CheckedLock lock(treeMutex);
    return root.get(path);
}

TreePublisher::json TreePublisher::monitorEnable(Form form, std::string const& path,
                                                 uint64_t skipChangesForMs) {
    owner.log(Log::Level::Info, "Requested monitor %s '%s' (skipChangesForMs=%zums)", "enable",
              path.c_str(), static_cast<size_t>(skipChangesForMs));
    CheckedLock lock(treeMutex);
    auto const found = monitors.find(path);
    if (found != monitors.end()) {
        owner.log(Log::Level::Warning, "Monitor '%s' already enabled. Disabling", path.c_str());
        root.disconnect(path, static_cast<int>(found->second));
        monitors.erase(found);
    }
    owner.log(Log::Level::Info, "Activating monitor for '%s'", path.c_str());
    // The callback runs inside the emitting signal's lock; it hands the work
    // on, so that the emitting thread never waits for treeMutex (grafting
    // takes signal locks under treeMutex). A change that finds a refresh
    // still waiting joins it, since that refresh reads the tree after the
    // change: a burst costs one refresh, not one per change.
    auto const pending = std::make_shared<std::atomic<bool>>(false);
    monitors[path] = root.connect(path, [this, form, path, skipChangesForMs, pending] {
        if (pending->exchange(true)) {
            return;
        }
        notifications.post(std::chrono::milliseconds(0),
                           [this, form, path, skipChangesForMs, pending] {
                               // Cleared before the refresh reads: a change
                               // from now on posts a refresh of its own.
                               pending->exchange(false);
                               onTreeChanged(form, path, skipChangesForMs);
                           });
    });
    return root.get(path);
}

void TreePublisher::monitorDisable(std::string const& path, uint64_t skipChangesForMs) {
    owner.log(Log::Level::Info, "Requested monitor %s '%s' (skipChangesForMs=%zums)", "disable",
              path.c_str(), static_cast<size_t>(skipChangesForMs));
    owner.log(Log::Level::Info, "Stopping monitor '%s'", path.c_str());
    CheckedLock lock(treeMutex);
    auto const found = monitors.find(path);
    if (found != monitors.end()) {
        root.disconnect(path, static_cast<int>(found->second));
        monitors.erase(found);
    }
}

void TreePublisher::onTreeChanged(Form form, std::string const& path, uint64_t skipChangesForMs) {
    size_t const index = static_cast<size_t>(form);
    std::string text;
    {
        CheckedLock lock(treeMutex);
        if (!previousChangeSet[index]) {
            previousChange[index] = monotonicNanos();
            previousChangeSet[index] = true;
        }
        int64_t const now = monotonicNanos();
        uint64_t const maxMs = static_cast<uint64_t>(INT64_MAX / 1000000);
        int64_t const skipNs =
            static_cast<int64_t>(skipChangesForMs < maxMs ? skipChangesForMs : maxMs) * 1000000;
        if (skipChangesForMs > 0 && now - previousChange[index] <= skipNs) {
            return;
        }
        owner.log(Log::Level::Debug, "Notified of change under %s. Notifying!", path.c_str());
        root.update(path);
        text = root.dump(path);
        previousChange[index] = now;
    }
    publishNodeValue(path, text);
}

} // namespace MQTT

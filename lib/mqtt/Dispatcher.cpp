#include "mqtt/Dispatcher.h"

#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <random>

#include "foundation/Secrets.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "mqtt/Client.h"
#include "mqtt/Connection.h"

namespace MQTT {

namespace {

// A one-shot channel for one message: a second fulfilment throws
// std::future_error, which the dispatcher reports.
struct ReplyChannel {
    std::promise<Message> promise;
    std::future<Message> future = promise.get_future();
};

std::string const& keyOf(std::string const& key) {
    return key;
}

template <typename Value>
std::string const& keyOf(std::pair<std::string const, Value> const& entry) {
    return entry.first;
}

// Distinct retained requests reported per connection; those beyond are
// ignored silently.
constexpr size_t MaxRetainedReported = 1000;

uint64_t clockSeed() {
    auto const now = std::chrono::system_clock::now().time_since_epoch();
    uint64_t const seed =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) %
        2147483647u;
    return seed == 0 ? 1 : seed;
}

} // namespace

Dispatcher::Dispatcher(Client& client, Connection& brokerConnection)
    : owner(client), connection(brokerConnection), random(clockSeed()) {}

template <typename Table>
typename Table::const_iterator Dispatcher::firstMatch(Table const& table,
                                                      std::string const& topic) {
    auto found = table.begin();
    while (found != table.end() && !Client::topicMatch(topic, keyOf(*found))) {
        ++found;
    }
    return found;
}

std::pair<bool, std::string> Dispatcher::awaitReply(PendingReplies& pending, std::string const& key,
                                                    Message const& request, uint64_t timeoutMs) {
    auto channel = std::make_shared<ReplyChannel>();
    {
        CheckedLock lock(pending.mutex);
        pending.handlers[key] = [channel](Message const& reply) {
            channel->promise.set_value(reply);
        };
    }
    owner.publish(request, false);
    bool const answered =
        channel->future.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    {
        CheckedLock lock(pending.mutex);
        pending.handlers.erase(key);
    }
    if (!answered) {
        return {false, ""};
    }
    return {true, channel->future.get().payload};
}

bool Dispatcher::subscribeCommand(std::string const& topic, CommandHandler const& handler,
                                  bool internal) {
    {
        CheckedLock lock(registrationMutex);
        (internal ? commands : externalCommands).emplace(topic, handler);
    }
    std::string const subscription = internal ? Utils::combinePath(owner.base(), topic) : topic;
    if (!connection.isRunning()) {
        return true;
    }
    if (owner.logSwitch(&Client::MessageSettings::logSubscriptions)) {
        owner.log(Log::Level::Debug, "Subscribing to command '%s'...", subscription.c_str());
    }
    return connection.subscribe(subscription);
}

bool Dispatcher::unsubscribeCommand(std::string const& topic, bool internal) {
    {
        CheckedLock lock(registrationMutex);
        auto& table = internal ? commands : externalCommands;
        if (table.erase(topic) == 0) {
            return false;
        }
    }
    if (!connection.isRunning()) {
        return true;
    }
    return connection.unsubscribe(internal ? Utils::combinePath(owner.base(), topic) : topic);
}

void Dispatcher::dispatch(Message const& message) {
    try {
        if (handleReceivedCommandResponse(message) || handleReceivedCommandInternal(message) ||
            handleReceivedCommandExternal(message) || handleReceivedRpcRequest(message) ||
            handleReceivedRpcResponse(message)) {
            return;
        }
        publishError("Unknown topic", message.topic);
    } catch (std::exception const& exception) {
        publishError(exception.what(), message.topic);
    }
}

void Dispatcher::onConnected() {
    CheckedLock lock(retainedMutex);
    retainedReported.clear();
}

bool Dispatcher::heldBack(Message const& message) {
    bool const retained = message.retained == Retained::Yes;
    if (!retained && !message.payload.empty()) {
        return false;
    }
    bool report = false;
    {
        CheckedLock lock(retainedMutex);
        if (!retained) {
            // The broker hands the empty retained message on without the
            // flag: it clears the request, it does not ask for it again.
            if (retainedReported.erase(message.topic) == 0) {
                return false;
            }
        } else if (retainedReported.size() < MaxRetainedReported) {
            report = retainedReported.insert(message.topic).second;
        }
    }
    if (!retained) {
        owner.log(Log::Level::Info, "Retained request '%s' cleared, not carried out",
                  message.topic.c_str());
    } else if (report) {
        owner.log(Log::Level::Warning,
                  "Retained request '%s' not carried out: the broker would repeat it at every "
                  "connection. Clear it by publishing an empty retained message there "
                  "(mosquitto_pub -r -n -t '%s')",
                  message.topic.c_str(), message.topic.c_str());
    }
    return true;
}

void Dispatcher::publishError(json const& error, std::string const& topic) {
    owner.publish(makeErrorMessage(error, topic), true);
}

bool Dispatcher::collectSubscriptions(std::string const& prefix, bool logSubscriptions,
                                      std::vector<std::string>& topics) {
    CheckedLock lock(registrationMutex);
    auto collect = [&](std::string const& topic, char const* what) {
        if (!connection.isRunning()) {
            return false;
        }
        if (logSubscriptions) {
            owner.log(Log::Level::Debug, "Subscribing to %s '%s'...", what, topic.c_str());
        }
        topics.push_back(topic);
        return true;
    };
    for (auto const& entry : externalCommands) {
        if (!collect(entry.first, "external command")) {
            return false;
        }
    }
    for (auto const& entry : commands) {
        if (!collect(Utils::combinePath(prefix, entry.first), "command")) {
            return false;
        }
    }
    for (auto const& entry : rpcs) {
        std::string const name = Utils::combinePath(prefix, entry.first);
        if (!collect(Utils::combinePath(name, "request/+"), "rpc") ||
            !collect(Utils::combinePath(name, "request/+/+"), "rpc")) {
            return false;
        }
    }
    for (auto const& name : expectedRpcs) {
        if (!collect(Utils::combinePath(name, "/response/+"), "expected rpc")) {
            return false;
        }
    }
    for (auto const& topic : expectedResponses) {
        if (!collect(topic, "expected response")) {
            return false;
        }
    }
    return true;
}

bool Dispatcher::handleReceivedCommandResponse(Message const& message) {
    CommandHandler handler;
    {
        CheckedLock lock(pendingCommands.mutex);
        auto const found = firstMatch(pendingCommands.handlers, message.topic);
        if (found == pendingCommands.handlers.end()) {
            return false;
        }
        owner.log(Log::Level::Debug, "Detected command response '%s'", found->first.c_str());
        handler = found->second;
    }
    handler(message);
    return true;
}

bool Dispatcher::handleReceivedCommandInternal(Message const& message) {
    std::string const relative = Client::removeTopicPart(message.topic, owner.base());
    CommandHandler handler;
    {
        CheckedLock lock(registrationMutex);
        auto const found = commands.match(relative, Client::topicMatch);
        if (found == commands.end()) {
            return false;
        }
        owner.log(Log::Level::Debug, "Detected internal command '%s'", found->first.c_str());
        handler = found->second;
    }
    if (heldBack(message)) {
        return true;
    }
    // Errors name the topic below the base, as the handlers' own reports do.
    try {
        requireRequestSize(message);
        handler(Message(relative, message.payload, message.retained, message.qos));
    } catch (std::exception const& exception) {
        publishError(exception.what(), relative);
    }
    return true;
}

bool Dispatcher::handleReceivedCommandExternal(Message const& message) {
    CommandHandler handler;
    {
        CheckedLock lock(registrationMutex);
        auto const found = externalCommands.match(message.topic, Client::topicMatch);
        if (found == externalCommands.end()) {
            return false;
        }
        owner.log(Log::Level::Debug, "Detected command '%s'", found->first.c_str());
        handler = found->second;
    }
    if (heldBack(message)) {
        return true;
    }
    requireRequestSize(message);
    handler(message);
    return true;
}

Message Dispatcher::makeErrorMessage(json const& error, std::string const& topic) const {
    owner.log(Log::Level::Warning, "Handling of topic '%s' failed: %s", topic.c_str(),
              String::clip(error.dump(-1, ' ', false, json::error_handler_t::replace)).c_str());
    json const report = {{"command", topic}, {"error", error}};
    return Message("error", report.dump(-1, ' ', false, json::error_handler_t::replace),
                   Retained::No, QoS::AtMostOnce);
}

std::pair<bool, std::string> Dispatcher::command(std::string const& topic,
                                                 std::string const& responseTopic,
                                                 std::string const& payload, uint64_t timeoutMs) {
    bool subscribedHere;
    {
        CheckedLock lock(registrationMutex);
        subscribedHere = expectedResponses.count(responseTopic) == 0;
    }
    if (subscribedHere) {
        subscribeExpectedResponse(responseTopic);
    }
    auto result = awaitReply(pendingCommands, responseTopic,
                             Message(topic, payload, Retained::No, QoS::ExactlyOnce), timeoutMs);
    if (subscribedHere) {
        unsubscribeExpectedResponse(responseTopic);
    }
    return result;
}

bool Dispatcher::subscribeExpectedResponse(std::string const& topic) {
    {
        CheckedLock lock(registrationMutex);
        if (!expectedResponses.insert(topic).second) {
            return true;
        }
    }
    if (!connection.isRunning()) {
        return true;
    }
    if (owner.logSwitch(&Client::MessageSettings::logSubscriptions)) {
        owner.log(Log::Level::Debug, "Subscribing to expected response '%s'...", topic.c_str());
    }
    return connection.subscribe(topic);
}

bool Dispatcher::unsubscribeExpectedResponse(std::string const& topic) {
    {
        CheckedLock lock(registrationMutex);
        if (expectedResponses.erase(topic) == 0) {
            return true;
        }
    }
    return connection.isRunning() ? connection.unsubscribe(topic) : true;
}

bool Dispatcher::subscribeRpc(std::string const& name, RpcHandler const& handler) {
    {
        CheckedLock lock(registrationMutex);
        rpcs.emplace(name, handler);
    }
    if (!connection.isRunning()) {
        return true;
    }
    std::string const prefix = Utils::combinePath(owner.base(), name);
    std::string const withIssuer = Utils::combinePath(prefix, "request/+/+");
    std::string const withoutIssuer = Utils::combinePath(prefix, "request/+");
    if (owner.logSwitch(&Client::MessageSettings::logSubscriptions)) {
        owner.log(Log::Level::Debug, "Subscribing to rpc '%s'...", withIssuer.c_str());
        owner.log(Log::Level::Debug, "Subscribing to rpc '%s'...", withoutIssuer.c_str());
    }
    return connection.subscribe(withoutIssuer) && connection.subscribe(withIssuer);
}

bool Dispatcher::unsubscribeRpc(std::string const& name) {
    {
        CheckedLock lock(registrationMutex);
        if (rpcs.erase(name) == 0) {
            return false;
        }
    }
    if (!connection.isRunning()) {
        return true;
    }
    std::string const prefix = Utils::combinePath(owner.base(), name);
    return connection.unsubscribe(Utils::combinePath(prefix, "request/+")) &&
           connection.unsubscribe(Utils::combinePath(prefix, "request/+/+"));
}

bool Dispatcher::handleReceivedRpcRequest(Message const& message) {
    Client::RpcData const request = owner.parseRpcTopicRequest(message.topic);
    if (request.name.empty()) {
        return false;
    }
    RpcHandler handler;
    {
        CheckedLock lock(registrationMutex);
        auto const found = rpcs.match(request.name, Client::topicMatch);
        if (found == rpcs.end()) {
            return false;
        }
        handler = found->second;
    }
    if (heldBack(message)) {
        return true;
    }
    owner.log(Log::Level::Debug, "Detected RPC command '%s' with id '%s' from issuer '%s'",
              request.name.c_str(), request.id.c_str(), request.issuer.c_str());
    std::string topic = Utils::combinePath(request.name, "/response/");
    if (!request.issuer.empty()) {
        topic += request.issuer + "/";
    }
    topic += request.id;
    std::string reply;
    try {
        requireRequestSize(message);
        reply = handler(request.name, message.payload, request.id);
    } catch (std::exception const& exception) {
        reply = Client::makeRpcFailed({{"description", exception.what()}}, nullptr);
    }
    owner.publish(Message(topic, reply, Retained::No, message.qos), true);
    return true;
}

std::pair<bool, std::string> Dispatcher::rpc(std::string const& name, std::string const& payload,
                                             uint64_t timeoutMs) {
    std::uniform_int_distribution<uint64_t> distribution(10000, 99999);
    bool subscribedHere;
    {
        CheckedLock lock(registrationMutex);
        subscribedHere = expectedRpcs.count(name) == 0;
    }
    if (subscribedHere) {
        subscribeExpectedRpc(name);
    }
    std::string id;
    {
        // Callers on several threads share the generator.
        CheckedLock lock(randomMutex);
        id = std::to_string(distribution(random));
    }
    auto result = awaitReply(pendingRpcs, id,
                             Message(Utils::combinePath(name, "/request/" + id), payload,
                                     Retained::No, QoS::ExactlyOnce),
                             timeoutMs);
    if (subscribedHere) {
        unsubscribeExpectedRpc(name);
    }
    return result;
}

bool Dispatcher::subscribeExpectedRpc(std::string const& name) {
    {
        CheckedLock lock(registrationMutex);
        if (!expectedRpcs.insert(name).second) {
            return true;
        }
    }
    if (!connection.isRunning()) {
        return true;
    }
    std::string const topic = Utils::combinePath(name, "/response/+");
    if (owner.logSwitch(&Client::MessageSettings::logSubscriptions)) {
        owner.log(Log::Level::Debug, "Subscribing to expected rpc '%s'...", topic.c_str());
    }
    return connection.subscribe(topic);
}

bool Dispatcher::unsubscribeExpectedRpc(std::string const& name) {
    {
        CheckedLock lock(registrationMutex);
        if (expectedRpcs.erase(name) == 0) {
            return true;
        }
    }
    return connection.isRunning() ? connection.unsubscribe(Utils::combinePath(name, "/response/+"))
                                  : true;
}

bool Dispatcher::handleReceivedRpcResponse(Message const& message) {
    Client::RpcData const reply = Client::parseRpcTopicResponse(message.topic);
    if (reply.id.empty()) {
        return false;
    }
    {
        CheckedLock lock(registrationMutex);
        if (firstMatch(expectedRpcs, reply.name) == expectedRpcs.end()) {
            return false;
        }
    }
    CommandHandler handler;
    {
        CheckedLock lock(pendingRpcs.mutex);
        auto const found = pendingRpcs.handlers.find(reply.id);
        if (found != pendingRpcs.handlers.end()) {
            handler = found->second;
        }
    }
    if (!handler) {
        owner.log(Log::Level::Debug,
                  "Detected RPC response '%s' with unexpected id '%s', ignoring...",
                  reply.name.c_str(), reply.id.c_str());
        return true;
    }
    owner.log(Log::Level::Debug, "Detected RPC response '%s' with id '%s'", reply.name.c_str(),
              reply.id.c_str());
    handler(message);
    return true;
}

} // namespace MQTT

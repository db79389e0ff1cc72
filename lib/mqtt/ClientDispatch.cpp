#include "mqtt/Client.h"

#include <chrono>
#include <exception>
#include <future>
#include <memory>

#include "foundation/Secrets.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

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

} // namespace

template <typename Table>
typename Table::const_iterator Client::firstMatch(Table const& table, std::string const& topic) {
    auto found = table.begin();
    while (found != table.end() && !topicMatch(topic, keyOf(*found))) {
        ++found;
    }
    return found;
}

template std::set<std::string>::const_iterator
Client::firstMatch(std::set<std::string> const& table, std::string const& topic);

std::pair<bool, std::string> Client::awaitReply(std::map<std::string, CommandHandler>& pending,
                                                std::mutex& pendingMutex, std::string const& key,
                                                Message const& request, uint64_t timeoutMs) {
    auto channel = std::make_shared<ReplyChannel>();
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        pending[key] = [channel](Message const& reply) { channel->promise.set_value(reply); };
    }
    publish(request, false);
    bool const answered =
        channel->future.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        pending.erase(key);
    }
    if (!answered) {
        return {false, ""};
    }
    return {true, channel->future.get().payload};
}

bool Client::subscribeCommand(std::string const& topic, CommandHandler const& handler,
                              bool internal) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        (internal ? commands : externalCommands).emplace(topic, handler);
    }
    std::string const subscription = internal ? Utils::combinePath(base(), topic) : topic;
    if (!running) {
        return true;
    }
    if (logSwitch(&Config::getLogSubscriptions)) {
        log(Log::Level::Debug, "Subscribing to command '%s'...", subscription.c_str());
    }
    return brokerClient.subscribe(subscription, 0);
}

bool Client::unsubscribeCommand(std::string const& topic, bool internal) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        auto& table = internal ? commands : externalCommands;
        if (table.erase(topic) == 0) {
            return false;
        }
    }
    if (!running) {
        return true;
    }
    return brokerClient.unsubscribe(internal ? Utils::combinePath(base(), topic) : topic);
}

void Client::onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                               bool retained) {
    if (logSwitch(&Config::getLogReceived)) {
        bool const withPayload = logSwitch(&Config::getLogPayload);
        log(Log::Level::Info, "%s message received (qos=%d): %s%s", retained ? "Retained" : "New",
            qos, topic.c_str(),
            withPayload ? (" : " + String::clip(Secrets::maskedText(payload))).c_str() : "");
    }
    dispatch(Message(topic, payload, fromRetainFlag(retained), fromMqttQos(qos)));
}

void Client::dispatch(Message const& message) {
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

void Client::publishError(json const& error, std::string const& topic) {
    publish(makeErrorMessage(error, topic), true);
}

bool Client::handleReceivedCommandResponse(Message const& message) {
    CommandHandler handler;
    {
        std::lock_guard<std::mutex> lock(pendingCommandsMutex);
        auto const found = firstMatch(pendingCommands, message.topic);
        if (found == pendingCommands.end()) {
            return false;
        }
        log(Log::Level::Debug, "Detected command response '%s'", found->first.c_str());
        handler = found->second;
    }
    handler(message);
    return true;
}

bool Client::handleReceivedCommandInternal(Message const& message) {
    std::string const relative = removeTopicPart(message.topic, base());
    CommandHandler handler;
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        auto const found = commands.match(relative, topicMatch);
        if (found == commands.end()) {
            return false;
        }
        log(Log::Level::Debug, "Detected internal command '%s'", found->first.c_str());
        handler = found->second;
    }
    requireRequestSize(message);
    handler(Message(relative, message.payload, message.retained, message.qos));
    return true;
}

bool Client::handleReceivedCommandExternal(Message const& message) {
    CommandHandler handler;
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        auto const found = externalCommands.match(message.topic, topicMatch);
        if (found == externalCommands.end()) {
            return false;
        }
        log(Log::Level::Debug, "Detected command '%s'", found->first.c_str());
        handler = found->second;
    }
    requireRequestSize(message);
    handler(message);
    return true;
}

Message Client::makeErrorMessage(json const& error, std::string const& topic) const {
    log(Log::Level::Warning, "Handling of topic '%s' failed: %s", topic.c_str(),
        String::clip(error.dump(-1, ' ', false, json::error_handler_t::replace)).c_str());
    json const report = {{"command", topic}, {"error", error}};
    return Message("error", report.dump(-1, ' ', false, json::error_handler_t::replace),
                   Retained::No, QoS::AtMostOnce);
}

std::pair<bool, std::string> Client::command(std::string const& topic,
                                             std::string const& responseTopic,
                                             std::string const& payload, uint64_t timeoutMs) {
    bool subscribedHere;
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        subscribedHere = expectedResponses.count(responseTopic) == 0;
    }
    if (subscribedHere) {
        subscribeExpectedResponse(responseTopic);
    }
    auto result = awaitReply(pendingCommands, pendingCommandsMutex, responseTopic,
                             Message(topic, payload, Retained::No, QoS::ExactlyOnce), timeoutMs);
    if (subscribedHere) {
        unsubscribeExpectedResponse(responseTopic);
    }
    return result;
}

bool Client::subscribeExpectedResponse(std::string const& topic) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        if (!expectedResponses.insert(topic).second) {
            return true;
        }
    }
    if (!running) {
        return true;
    }
    if (logSwitch(&Config::getLogSubscriptions)) {
        log(Log::Level::Debug, "Subscribing to expected response '%s'...", topic.c_str());
    }
    return brokerClient.subscribe(topic, 0);
}

bool Client::unsubscribeExpectedResponse(std::string const& topic) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        if (expectedResponses.erase(topic) == 0) {
            return true;
        }
    }
    return running ? brokerClient.unsubscribe(topic) : true;
}

} // namespace MQTT

#include "mqtt/Client.h"

#include <exception>
#include <random>

#include "foundation/Utils.h"

namespace MQTT {

bool Client::subscribeRpc(std::string const& name, RpcHandler const& handler) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        rpcs.emplace(name, handler);
    }
    if (!running) {
        return true;
    }
    std::string const prefix = Utils::combinePath(base(), name);
    std::string const withIssuer = Utils::combinePath(prefix, "request/+/+");
    std::string const withoutIssuer = Utils::combinePath(prefix, "request/+");
    if (logSwitch(&Config::getLogSubscriptions)) {
        log(Log::Level::Debug, "Subscribing to rpc '%s'...", withIssuer.c_str());
        log(Log::Level::Debug, "Subscribing to rpc '%s'...", withoutIssuer.c_str());
    }
    return brokerClient.subscribe(withoutIssuer, 0) && brokerClient.subscribe(withIssuer, 0);
}

bool Client::unsubscribeRpc(std::string const& name) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        if (rpcs.erase(name) == 0) {
            return false;
        }
    }
    if (!running) {
        return true;
    }
    std::string const prefix = Utils::combinePath(base(), name);
    return brokerClient.unsubscribe(Utils::combinePath(prefix, "request/+")) &&
           brokerClient.unsubscribe(Utils::combinePath(prefix, "request/+/+"));
}

Client::RpcData Client::parseRpcTopicRequest(std::string const& topic) const {
    static std::string const marker = "/request/";
    std::string const prefix = base();
    if (topic.compare(0, prefix.size(), prefix) != 0) {
        return {};
    }
    size_t const at = topic.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    // The name starts where combinePath put it below the base topic.
    size_t const nameStart =
        prefix.empty() || prefix.back() == '/' ? prefix.size() : prefix.size() + 1;
    if (at < nameStart) {
        return {};
    }
    RpcData data;
    data.name = topic.substr(nameStart, at - nameStart);
    size_t const rest = at + marker.size();
    size_t const slash = topic.find('/', rest);
    if (slash == std::string::npos) {
        if (rest == topic.size()) {
            return {};
        }
        data.id = topic.substr(rest);
    } else if (slash == rest) {
        return {};
    } else {
        data.issuer = topic.substr(rest, slash - rest);
        data.id = topic.substr(slash + 1);
    }
    return data;
}

Client::RpcData Client::parseRpcTopicResponse(std::string const& topic) {
    static std::string const marker = "/response/";
    size_t const at = topic.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    RpcData data;
    data.name = topic.substr(0, at);
    data.id = topic.substr(at + marker.size());
    return data;
}

std::string Client::makeRpcCompleted(json const& data) {
    return rpcReplyText(true, data.dump(-1, ' ', false, json::error_handler_t::replace), nullptr);
}

std::string Client::makeRpcFailed(json const& error, json const& data) {
    return rpcReplyText(false, data.dump(-1, ' ', false, json::error_handler_t::replace), error);
}

// The keys in the order in which the JSON library writes them; null, {} and
// [] are left out.
std::string Client::rpcReplyText(bool completed, std::string const& data, json const& error) {
    std::string reply = completed ? R"({"completed":true)" : R"({"completed":false)";
    if (data != "null" && data != "{}" && data != "[]") {
        reply += R"(,"data":)";
        reply += data;
    }
    if (!error.empty()) {
        reply += R"(,"error":)";
        reply += error.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    reply += '}';
    return reply;
}

bool Client::handleReceivedRpcRequest(Message const& message) {
    RpcData const request = parseRpcTopicRequest(message.topic);
    if (request.name.empty()) {
        return false;
    }
    RpcHandler handler;
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        auto const found = rpcs.match(request.name, topicMatch);
        if (found == rpcs.end()) {
            return false;
        }
        handler = found->second;
    }
    log(Log::Level::Debug, "Detected RPC command '%s' with id '%s' from issuer '%s'",
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
        reply = makeRpcFailed({{"description", exception.what()}}, nullptr);
    }
    publish(Message(topic, reply, Retained::No, message.qos), true);
    return true;
}

std::pair<bool, std::string> Client::rpc(std::string const& name, std::string const& payload,
                                         uint64_t timeoutMs) {
    std::uniform_int_distribution<uint64_t> distribution(10000, 99999);
    bool subscribedHere;
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        subscribedHere = expectedRpcs.count(name) == 0;
    }
    if (subscribedHere) {
        subscribeExpectedRpc(name);
    }
    std::string id;
    {
        // Callers on several threads share the generator.
        std::lock_guard<std::mutex> lock(randomMutex);
        id = std::to_string(distribution(random));
    }
    auto result = awaitReply(pendingRpcs, pendingRpcsMutex, id,
                             Message(Utils::combinePath(name, "/request/" + id), payload,
                                     Retained::No, QoS::ExactlyOnce),
                             timeoutMs);
    if (subscribedHere) {
        unsubscribeExpectedRpc(name);
    }
    return result;
}

bool Client::subscribeExpectedRpc(std::string const& name) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        if (!expectedRpcs.insert(name).second) {
            return true;
        }
    }
    if (!running) {
        return true;
    }
    std::string const topic = Utils::combinePath(name, "/response/+");
    if (logSwitch(&Config::getLogSubscriptions)) {
        log(Log::Level::Debug, "Subscribing to expected rpc '%s'...", topic.c_str());
    }
    return brokerClient.subscribe(topic, 0);
}

bool Client::unsubscribeExpectedRpc(std::string const& name) {
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        if (expectedRpcs.erase(name) == 0) {
            return true;
        }
    }
    return running ? brokerClient.unsubscribe(Utils::combinePath(name, "/response/+")) : true;
}

bool Client::handleReceivedRpcResponse(Message const& message) {
    RpcData const reply = parseRpcTopicResponse(message.topic);
    if (reply.id.empty()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        if (firstMatch(expectedRpcs, reply.name) == expectedRpcs.end()) {
            return false;
        }
    }
    CommandHandler handler;
    {
        std::lock_guard<std::mutex> lock(pendingRpcsMutex);
        auto const found = pendingRpcs.find(reply.id);
        if (found != pendingRpcs.end()) {
            handler = found->second;
        }
    }
    if (!handler) {
        log(Log::Level::Debug, "Detected RPC response '%s' with unexpected id '%s', ignoring...",
            reply.name.c_str(), reply.id.c_str());
        return true;
    }
    log(Log::Level::Debug, "Detected RPC response '%s' with id '%s'", reply.name.c_str(),
        reply.id.c_str());
    handler(message);
    return true;
}

} // namespace MQTT

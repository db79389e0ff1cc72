#include "mqtt/Client.h"

#include <exception>
#include <random>

#include "foundation/Utils.h"

namespace MQTT {

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

} // namespace MQTT

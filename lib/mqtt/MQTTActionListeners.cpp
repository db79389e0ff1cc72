#include "mqtt/MQTTActionListeners.h"

#include "foundation/Log.h"

namespace {

// Requests carry one topic each, so the first is the request's.
std::string firstTopic(mqtt::token const& token) {
    auto const topics = token.get_topics();
    if (!topics || topics->empty()) {
        return std::string();
    }
    return (*topics)[0];
}

} // namespace

std::map<int, std::string> const& MQTTConnectListener::errorCodes() {
    static std::map<int, std::string> const codes = {
        {0, "Connection accepted"},       {1, "Unacceptable protocol version"},
        {2, "Identifier rejected"},       {3, "Service unavailable"},
        {4, "Bad user name or password"}, {5, "Not authorized"},
        {-1, "Connection timeout"},
    };
    return codes;
}

std::string MQTTConnectListener::reason(int returnCode) {
    auto const& codes = errorCodes();
    auto const found = codes.find(returnCode);
    return found == codes.end() ? "Unknown reason" : found->second;
}

void MQTTConnectListener::on_failure(mqtt::token const& token) {
    if (listener) {
        listener->onConnectFailed(reason(token.get_return_code()));
    }
}

void MQTTConnectListener::on_success(mqtt::token const&) {}

void MQTTDisconnectListener::on_failure(mqtt::token const&) {
    Log::error("[MQTTClient] Disconnect failed.");
}

void MQTTDisconnectListener::on_success(mqtt::token const&) {
    if (listener) {
        listener->onDisconnected();
    }
}

void MQTTSubscribeListener::on_failure(mqtt::token const& token) {
    if (listener) {
        listener->onSubscribeFailed(firstTopic(token));
    }
}

void MQTTSubscribeListener::on_success(mqtt::token const& token) {
    if (listener) {
        listener->onSubscribed(firstTopic(token));
    }
}

void MQTTUnSubscribeListener::on_failure(mqtt::token const& token) {
    if (listener) {
        listener->onUnsubscribeFailed(firstTopic(token));
    }
}

void MQTTUnSubscribeListener::on_success(mqtt::token const& token) {
    if (listener) {
        listener->onUnsubscribed(firstTopic(token));
    }
}

void MQTTPublishListener::on_failure(mqtt::token const& token) {
    if (listener) {
        listener->onMessageSendFailed(token.get_message_id());
    }
}

void MQTTPublishListener::on_success(mqtt::token const& token) {
    if (listener) {
        listener->onMessageSent(token.get_message_id());
    }
}

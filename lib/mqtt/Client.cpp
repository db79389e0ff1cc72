#include "mqtt/Client.h"

#include <chrono>
#include <cstdarg>
#include <thread>
#include <vector>

#include "foundation/Secrets.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

namespace MQTT {

namespace {

// Pause between "stopping" and the disconnection, so listeners can publish.
constexpr int StopPauseMs = 200;

} // namespace

Client::Client(std::string const& defaultBase, std::string const& loggerName)
    : Client(defaultBase, loggerName, nullptr) {}

Client::Client(std::string const& defaultBase, std::string const& loggerName,
               MQTTPublisher& publisher)
    : Client(defaultBase, loggerName, &publisher) {}

Client::Client(std::string const& defaultBase, std::string const& loggerName,
               MQTTPublisher* publisher)
    : logName(loggerName), config(defaultBase, loggerName),
      messageSettings(messageSettingsOf(config)), connection(*this, *this),
      outbox(publisher ? *publisher : connection.publisher()), dispatcher(*this, connection),
      tree(*this, dispatcher) {}

Client::~Client() {
    // No restart may run while the client goes away.
    connection.shutdownTasks();
    tree.stopNotifications();
    stop();
    connection.close();
    // The tree's nodes leave their signals now: a change callback that
    // still runs must find the notification thread in place.
    tree.clear();
}

Client::MessageSettings Client::messageSettingsOf(Config const& settings) {
    return {settings.getBase(), settings.getLogReceived(), settings.getLogPublished(),
            settings.getLogPayload(), settings.getLogSubscriptions()};
}

std::string Client::base() const {
    CheckedLock lock(configMutex);
    return messageSettings.base;
}

bool Client::logSwitch(bool MessageSettings::*flag) const {
    CheckedLock lock(configMutex);
    return messageSettings.*flag;
}

void Client::start() {
    if (connection.isRunning()) {
        return;
    }
    log(Log::Level::Info, "Starting...");
    starting.emit();
    connection.start(getConfig());
    log(Log::Level::Info, "Started!");
}

bool Client::stop() {
    if (!connection.isRunning()) {
        return false;
    }
    log(Log::Level::Info, "Stopping...");
    stopping.emit();
    // Resumed when a signal interrupts it, unlike Thread::sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(StopPauseMs));
    bool const noticeFollows = connection.stop();
    log(Log::Level::Info, "Stopped!");
    return noticeFollows;
}

void Client::close() {
    connection.close();
}

void Client::restart() {
    if (!connection.isRunning()) {
        return;
    }
    // Replacing the library client inside one of its own callbacks (a
    // "config" write arrives in one) is forbidden: restart on our thread.
    connection.post([this] {
        if (connection.isRunning()) {
            stop();
            start();
        }
    });
}

bool Client::setConfig(Config const& newConfig) {
    {
        CheckedLock lock(configMutex);
        if (config.toJson() == newConfig.toJson()) {
            return true;
        }
        config = newConfig;
        messageSettings = messageSettingsOf(config);
    }
    restart();
    return true;
}

Config Client::getConfig() const {
    CheckedLock lock(configMutex);
    return config;
}

bool Client::waitConnected(int milliseconds) {
    return connection.waitConnected(milliseconds);
}

bool Client::isRunning() const {
    return connection.isRunning();
}

bool Client::isConnected() const {
    return connection.isConnected();
}

void Client::onConnected() {
    log(Log::Level::Info, "Connected to broker: '%s'", getConfig().getUrl().c_str());
    dispatcher.onConnected();
    connection.onConnected([this] { subscriptionsThreadBody(); });
}

void Client::onDisconnected() {
    log(Log::Level::Info, "Disconnected from broker.");
    disconnected.emit();
    connection.onDisconnected();
}

void Client::onSubscribed(std::string const& topic) {
    if (logSwitch(&MessageSettings::logSubscriptions)) {
        log(Log::Level::Info, "Subscribed to topic '%s'.", topic.c_str());
    }
    subscribed.emit(topic);
}

void Client::onUnsubscribed(std::string const& topic) {
    if (logSwitch(&MessageSettings::logSubscriptions)) {
        log(Log::Level::Info, "Unsubscribed from topic '%s'.", topic.c_str());
    }
}

void Client::onMessageSent(int) {}

void Client::onMessageDelivered(int) {}

void Client::onConnectFailed(std::string const& reason) {
    log(Log::Level::Error, "Connection failed (reason=%s).", reason.c_str());
    connection.onConnectFailed();
}

void Client::onSubscribeFailed(std::string const& topic) {
    log(Log::Level::Error, "Failed to subscribe to topic '%s'", topic.c_str());
    connection.onSubscribeFailed(topic);
}

void Client::onUnsubscribeFailed(std::string const& topic) {
    log(Log::Level::Error, "Failed to unsubscribe from topic '%s'", topic.c_str());
    connection.onUnsubscribeFailed(topic);
}

void Client::onMessageSendFailed(int id) {
    log(Log::Level::Error, "Message send failed (id=%d).", id);
}

void Client::subscriptionsThreadBody() {
    log(Log::Level::Info, "Subscriptions thread started!");
    subscriptionFunction();
    // Later connections find the tree's topics registered with the dispatcher.
    if (!treeRegistered.exchange(true)) {
        tree.updateLambdaTreeSubscriptions("", false);
    }
    log(Log::Level::Info, "Subscriptions thread ended!");
    connected.emit();
}

void Client::subscriptionFunction() {
    std::vector<std::string> topics;
    if (!dispatcher.collectSubscriptions(base(), logSwitch(&MessageSettings::logSubscriptions),
                                         topics)) {
        return;
    }
    for (auto const& topic : topics) {
        connection.subscribe(topic);
    }
}

void Client::onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                               bool retained) {
    if (logSwitch(&MessageSettings::logReceived)) {
        bool const withPayload = logSwitch(&MessageSettings::logPayload);
        log(Log::Level::Info, "%s message received (qos=%d): %s%s", retained ? "Retained" : "New",
            qos, topic.c_str(),
            withPayload ? (" : " + String::clip(Secrets::maskedPayload(topic, payload))).c_str()
                        : "");
    }
    dispatcher.dispatch(Message(topic, payload, fromRetainFlag(retained), fromMqttQos(qos)));
}

bool Client::publish(Message const& message, bool prependBase) {
    std::string const topic =
        prependBase ? Utils::combinePath(base(), message.topic) : message.topic;
    int const qos = toMqttQos(message.qos);
    bool const retain = toRetainFlag(message.retained);
    outbox.publish(topic, message.payload, qos, retain);
    if (logSwitch(&MessageSettings::logPublished)) {
        bool const withPayload = logSwitch(&MessageSettings::logPayload);
        log(Log::Level::Info, "Publishing%s message (qos=%d): %s%s", retain ? " retained" : "", qos,
            topic.c_str(), withPayload ? (" : " + String::clip(message.payload)).c_str() : "");
    }
    return true;
}

bool Client::subscribeCommand(std::string const& topic, CommandHandler const& handler,
                              bool internal) {
    return dispatcher.subscribeCommand(topic, handler, internal);
}

bool Client::unsubscribeCommand(std::string const& topic, bool internal) {
    return dispatcher.unsubscribeCommand(topic, internal);
}

std::pair<bool, std::string> Client::command(std::string const& topic,
                                             std::string const& responseTopic,
                                             std::string const& payload, uint64_t timeoutMs) {
    return dispatcher.command(topic, responseTopic, payload, timeoutMs);
}

bool Client::subscribeExpectedResponse(std::string const& topic) {
    return dispatcher.subscribeExpectedResponse(topic);
}

bool Client::subscribeRpc(std::string const& name, RpcHandler const& handler) {
    return dispatcher.subscribeRpc(name, handler);
}

bool Client::unsubscribeRpc(std::string const& name) {
    return dispatcher.unsubscribeRpc(name);
}

std::pair<bool, std::string> Client::rpc(std::string const& name, std::string const& payload,
                                         uint64_t timeoutMs) {
    return dispatcher.rpc(name, payload, timeoutMs);
}

bool Client::subscribeExpectedRpc(std::string const& name) {
    return dispatcher.subscribeExpectedRpc(name);
}

bool Client::subscribeLambdaTree(LambdaTree const& subtree, std::string const& path) {
    return tree.subscribeLambdaTree(subtree, path);
}

bool Client::updateLambdaTreeSubscriptions(std::string const& path, bool dumpBefore) {
    return tree.updateLambdaTreeSubscriptions(path, dumpBefore);
}

bool Client::publishLambdaTreeNode(std::string const& path, Retained retained, QoS qos) {
    return tree.publishLambdaTreeNode(path, retained, qos);
}

std::string Client::handleLambdaTreeRpcGet(std::string const& path, std::string const& name,
                                           std::string const& payload, std::string const& id) {
    return tree.handleLambdaTreeRpcGet(path, name, payload, id);
}

std::string Client::handleLambdaTreeRpcSet(std::string const& path, std::string const& name,
                                           std::string const& payload, std::string const& id) {
    return tree.handleLambdaTreeRpcSet(path, name, payload, id);
}

void Client::log(Log::Level level, char const* format, ...) const {
    // Several debug lines run per request: build nothing that goes unseen.
    if (!Log::isEnabled(level)) {
        return;
    }
    std::string const line = String::format("[%s::Client] %s", logName.c_str(), format);
    va_list args;
    va_start(args, format);
    Log::vprint(level, line.c_str(), args);
    va_end(args);
}

} // namespace MQTT

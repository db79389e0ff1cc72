#include "mqtt/Client.h"

#include <chrono>
#include <cstdarg>
#include <exception>
#include <thread>
#include <vector>

#include "foundation/String.h"
#include "foundation/Thread.h"
#include "foundation/Utils.h"

namespace MQTT {

namespace {

// Pause between a failed or lost connection and the next attempt.
constexpr int RetryDelayMs = 2000;
// Pause between "stopping" and the disconnection, so listeners can publish.
constexpr int StopPauseMs = 200;

// The tree's topics are derived on the first connection of the process only.
std::atomic<bool> alreadyUpdated{false};

uint64_t clockSeed() {
    auto const now = std::chrono::system_clock::now().time_since_epoch();
    uint64_t const seed =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) %
        2147483647u;
    return seed == 0 ? 1 : seed;
}

} // namespace

Client::Client(std::string const& defaultBase, std::string const& loggerName)
    : Client(defaultBase, loggerName, brokerClient) {}

Client::Client(std::string const& defaultBase, std::string const& loggerName,
               MQTTPublisher& publisher)
    : logName(loggerName), brokerClient(this), outbox(publisher), config(defaultBase, loggerName),
      random(clockSeed()), connectedSemaphore("", 0, 1) {}

Client::~Client() {
    // No restart may run while the client goes away.
    tasks.shutdown();
    notifications.shutdown();
    stop();
    brokerClient.close();
    waitSubscriptionsDone();
    // The tree's nodes leave their signals now: a change callback that
    // still runs must find the notification thread (declared after the
    // tree, so destroyed before it) in place.
    std::lock_guard<std::mutex> lock(treeMutex);
    root = LambdaTree();
}

std::string Client::base() const {
    std::lock_guard<std::mutex> lock(configMutex);
    return config.getBase();
}

bool Client::logSwitch(bool (Config::*getter)() const) const {
    std::lock_guard<std::mutex> lock(configMutex);
    return (config.*getter)();
}

void Client::start() {
    if (running) {
        return;
    }
    log(Log::Level::Info, "Starting...");
    starting.emit();
    uint64_t attempt;
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        running = true;
        attempt = ++generation;
        attemptPending = true;
    }
    Config settings = getConfig();
    std::string clientId = settings.getClientId();
    if (clientId.empty()) {
        clientId = Utils::getProcessId();
    }
    log(Log::Level::Info, "Connecting to broker:%s with clientId: %s).", settings.getUrl().c_str(),
        clientId.c_str());
    brokerClient.setClientId(clientId);
    brokerClient.setUrl(settings.getUrl());
    brokerClient.setUsername(settings.getUsername());
    brokerClient.setPassword(settings.getPassword());
    brokerClient.setKeepAlive(static_cast<int>(settings.getKeepAlive()));
    // Every attempt runs on our own thread, so the library client is never
    // made or replaced on one of the library's threads, whoever starts us.
    tasks.post(std::chrono::milliseconds(0), [this, attempt] { attemptConnect(attempt); });
    log(Log::Level::Info, "Started!");
}

void Client::stop() {
    if (!running) {
        return;
    }
    log(Log::Level::Info, "Stopping...");
    stopping.emit();
    // Resumed when a signal interrupts it, unlike Thread::sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(StopPauseMs));
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        running = false;
        ++generation;
        attemptPending = false;
    }
    brokerClient.disconnect(0);
    waitSubscriptionsDone();
    log(Log::Level::Info, "Stopped!");
}

void Client::waitSubscriptionsDone() {
    std::unique_lock<std::mutex> lock(subscriptionsMutex);
    subscriptionsDone.wait(lock, [this] { return subscriptionThreads == 0; });
}

void Client::restart() {
    if (!running) {
        return;
    }
    // Replacing the library client inside one of its own callbacks (a
    // "config" write arrives in one) is forbidden: restart on our thread.
    tasks.post(std::chrono::milliseconds(0), [this] {
        if (running) {
            stop();
            start();
        }
    });
}

bool Client::setConfig(Config const& newConfig) {
    {
        std::lock_guard<std::mutex> lock(configMutex);
        if (config.toJson() == newConfig.toJson()) {
            return true;
        }
        config = newConfig;
    }
    restart();
    return true;
}

Config Client::getConfig() const {
    std::lock_guard<std::mutex> lock(configMutex);
    return config;
}

bool Client::waitConnected(int milliseconds) {
    return connectedSemaphore.Wait(milliseconds);
}

bool Client::isRunning() const {
    return running;
}

bool Client::isConnected() const {
    return brokerClient.isConnected();
}

std::string Client::getLogName() const {
    std::lock_guard<std::mutex> lock(logNameMutex);
    return logName;
}

void Client::setLogName(std::string const& name) {
    std::lock_guard<std::mutex> lock(logNameMutex);
    logName = name;
}

void Client::scheduleConnect(int delayMs) {
    uint64_t attempt;
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        if (!running || attemptPending) {
            return;
        }
        attemptPending = true;
        attempt = generation;
    }
    tasks.post(std::chrono::milliseconds(delayMs), [this, attempt] { attemptConnect(attempt); });
}

void Client::attemptConnect(uint64_t attempt) {
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        if (!running || attempt != generation) {
            return;
        }
    }
    if (brokerClient.connect()) {
        return;
    }
    if (brokerClient.isConnected()) {
        // A late attempt found the connection up already.
        std::lock_guard<std::mutex> lock(connectionMutex);
        attemptPending = false;
        return;
    }
    // The library refused the request outright (a malformed url, say): no
    // result will ever come back for it, so retry like a failed attempt.
    log(Log::Level::Error, "Connection failed (reason=%s).", "Connection request refused");
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        attemptPending = false;
    }
    scheduleConnect(RetryDelayMs);
}

void Client::onConnected() {
    log(Log::Level::Info, "Connected to broker: '%s'", getConfig().getUrl().c_str());
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        attemptPending = false;
    }
    {
        std::lock_guard<std::mutex> lock(subscriptionsMutex);
        if (!running) {
            // A connection that completed after a stop: its subscriptions
            // and its "connected" would reach listeners that are going away.
            log(Log::Level::Info, "Connected after a stop: nothing subscribed");
            return;
        }
        ++subscriptionThreads;
    }
    std::thread subscriptionsThread([this] {
        // An exception escaping here would end the process.
        try {
            subscriptionsThreadBody();
        } catch (std::exception const& e) {
            log(Log::Level::Error, "Subscriptions thread failed: %s", e.what());
        }
        std::lock_guard<std::mutex> lock(subscriptionsMutex);
        --subscriptionThreads;
        subscriptionsDone.notify_all();
    });
    connectedSemaphore.Post(1);
    subscriptionsThread.detach();
}

void Client::onDisconnected() {
    log(Log::Level::Info, "Disconnected from broker.");
    disconnected.emit();
    // A disconnection that stop asked for finds running clear; one from a
    // stop before a restart finds the restart's attempt pending.
    scheduleConnect(RetryDelayMs);
}

void Client::onSubscribed(std::string const& topic) {
    if (logSwitch(&Config::getLogSubscriptions)) {
        log(Log::Level::Info, "Subscribed to topic '%s'.", topic.c_str());
    }
    subscribed.emit(topic);
}

void Client::onUnsubscribed(std::string const& topic) {
    if (logSwitch(&Config::getLogSubscriptions)) {
        log(Log::Level::Info, "Unsubscribed from topic '%s'.", topic.c_str());
    }
}

void Client::onMessageSent(int) {}

void Client::onMessageDelivered(int) {}

void Client::onConnectFailed(std::string const& reason) {
    log(Log::Level::Error, "Connection failed (reason=%s).", reason.c_str());
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        attemptPending = false;
    }
    scheduleConnect(RetryDelayMs);
}

void Client::onSubscribeFailed(std::string const& topic) {
    log(Log::Level::Error, "Failed to subscribe to topic '%s'", topic.c_str());
    scheduleRetry([this, topic] { brokerClient.subscribe(topic, 0); });
}

void Client::onUnsubscribeFailed(std::string const& topic) {
    log(Log::Level::Error, "Failed to unsubscribe from topic '%s'", topic.c_str());
    scheduleRetry([this, topic] { brokerClient.unsubscribe(topic); });
}

void Client::scheduleRetry(std::function<void()> retry) {
    uint64_t current;
    {
        std::lock_guard<std::mutex> lock(connectionMutex);
        if (!running) {
            return;
        }
        current = generation;
    }
    tasks.post(std::chrono::milliseconds(RetryDelayMs), [this, current, retry = std::move(retry)] {
        {
            std::lock_guard<std::mutex> lock(connectionMutex);
            if (!running || generation != current) {
                return;
            }
        }
        retry();
    });
}

void Client::onMessageSendFailed(int id) {
    log(Log::Level::Error, "Message send failed (id=%d).", id);
}

void Client::subscriptionsThreadBody() {
    log(Log::Level::Info, "Subscriptions thread started!");
    subscriptionFunction();
    if (!alreadyUpdated) {
        updateLambdaTreeSubscriptions("", false);
        alreadyUpdated = true;
    }
    log(Log::Level::Info, "Subscriptions thread ended!");
    connected.emit();
}

void Client::subscriptionFunction() {
    std::string const prefix = base();
    bool const logSubscriptions = logSwitch(&Config::getLogSubscriptions);
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lock(treeMutex);
        auto collect = [&](std::string const& topic, char const* what) {
            if (!running) {
                return false;
            }
            if (logSubscriptions) {
                log(Log::Level::Debug, "Subscribing to %s '%s'...", what, topic.c_str());
            }
            topics.push_back(topic);
            return true;
        };
        for (auto const& entry : externalCommands) {
            if (!collect(entry.first, "external command")) {
                return;
            }
        }
        for (auto const& entry : commands) {
            if (!collect(Utils::combinePath(prefix, entry.first), "command")) {
                return;
            }
        }
        for (auto const& entry : rpcs) {
            std::string const name = Utils::combinePath(prefix, entry.first);
            if (!collect(Utils::combinePath(name, "request/+"), "rpc") ||
                !collect(Utils::combinePath(name, "request/+/+"), "rpc")) {
                return;
            }
        }
        for (auto const& name : expectedRpcs) {
            if (!collect(Utils::combinePath(name, "/response/+"), "expected rpc")) {
                return;
            }
        }
        for (auto const& topic : expectedResponses) {
            if (!collect(topic, "expected response")) {
                return;
            }
        }
    }
    for (auto const& topic : topics) {
        brokerClient.subscribe(topic, 0);
    }
}

bool Client::publish(Message const& message, bool prependBase) {
    std::string const topic =
        prependBase ? Utils::combinePath(base(), message.topic) : message.topic;
    int const qos = toMqttQos(message.qos);
    bool const retain = toRetainFlag(message.retained);
    outbox.publish(topic, message.payload, qos, retain);
    if (logSwitch(&Config::getLogPublished)) {
        bool const withPayload = logSwitch(&Config::getLogPayload);
        log(Log::Level::Info, "Publishing%s message (qos=%d): %s%s", retain ? " retained" : "", qos,
            topic.c_str(), withPayload ? (" : " + String::clip(message.payload)).c_str() : "");
    }
    return true;
}

void Client::log(Log::Level level, char const* format, ...) const {
    // Several debug lines run per request: build nothing that goes unseen.
    if (!Log::isEnabled(level)) {
        return;
    }
    std::string const line = String::format("[%s::Client] %s", getLogName().c_str(), format);
    va_list args;
    va_start(args, format);
    Log::vprint(level, line.c_str(), args);
    va_end(args);
}

} // namespace MQTT

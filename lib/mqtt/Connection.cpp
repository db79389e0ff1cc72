#include "mqtt/Connection.h"

#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "foundation/Utils.h"
#include "mqtt/Client.h"
#include "mqtt/MQTTClient.h"

namespace MQTT {

namespace {

// Pause between a failed or lost connection and the next attempt.
constexpr int RetryDelayMs = 2000;

} // namespace

Connection::Connection(MQTTClientListener& listener, Client const& client)
    : owner(client), brokerClient(std::make_unique<MQTTClient>(&listener)),
      connectedSemaphore("", 0, 1) {}

// The task thread, declared last, is joined before the library client goes.
Connection::~Connection() = default;

MQTTPublisher& Connection::publisher() {
    return *brokerClient;
}

void Connection::start(Config const& settings) {
    uint64_t attempt;
    {
        CheckedLock lock(connectionMutex);
        running = true;
        attempt = ++generation;
        attemptPending = true;
    }
    std::string clientId = settings.getClientId();
    if (clientId.empty()) {
        clientId = Utils::getProcessId();
    }
    owner.log(Log::Level::Info, "Connecting to broker:%s with clientId: %s).",
              settings.getUrl().c_str(), clientId.c_str());
    brokerClient->setClientId(clientId);
    brokerClient->setUrl(settings.getUrl());
    brokerClient->setUsername(settings.getUsername());
    brokerClient->setPassword(settings.getPassword());
    brokerClient->setKeepAlive(static_cast<int>(settings.getKeepAlive()));
    // Every attempt runs on our own thread, so the library client is never
    // made or replaced on one of the library's threads, whoever starts us.
    tasks.post(std::chrono::milliseconds(0), [this, attempt] { attemptConnect(attempt); });
}

bool Connection::stop() {
    {
        CheckedLock lock(connectionMutex);
        running = false;
        ++generation;
        attemptPending = false;
    }
    bool const noticeFollows = brokerClient->disconnect(0);
    waitSubscriptionsDone();
    return noticeFollows;
}

void Connection::post(std::function<void()> task) {
    tasks.post(std::chrono::milliseconds(0), std::move(task));
}

void Connection::shutdownTasks() {
    tasks.shutdown();
}

void Connection::close() {
    brokerClient->close();
    waitSubscriptionsDone();
}

void Connection::waitSubscriptionsDone() {
    CheckedLock lock(subscriptionsMutex);
    lock.wait(subscriptionsDone, [this] {
        subscriptionsMutex.assertHeld();
        return subscriptionThreads == 0;
    });
}

bool Connection::isConnected() const {
    return brokerClient->isConnected();
}

bool Connection::waitConnected(int milliseconds) {
    return connectedSemaphore.Wait(milliseconds);
}

bool Connection::subscribe(std::string const& topic) {
    return brokerClient->subscribe(topic, 0);
}

bool Connection::unsubscribe(std::string const& topic) {
    return brokerClient->unsubscribe(topic);
}

void Connection::scheduleConnect(int delayMs) {
    uint64_t attempt;
    {
        CheckedLock lock(connectionMutex);
        if (!running || attemptPending) {
            return;
        }
        attemptPending = true;
        attempt = generation;
    }
    tasks.post(std::chrono::milliseconds(delayMs), [this, attempt] { attemptConnect(attempt); });
}

void Connection::connectionDone() {
    CheckedLock lock(connectionMutex);
    attemptPending = false;
}

void Connection::attemptConnect(uint64_t attempt) {
    {
        CheckedLock lock(connectionMutex);
        if (!running || attempt != generation) {
            return;
        }
    }
    if (brokerClient->connect()) {
        return;
    }
    if (brokerClient->isConnected()) {
        // A late attempt found the connection up already.
        connectionDone();
        return;
    }
    // The library refused the request outright (a malformed url, say): no
    // result will ever come back for it, so retry like a failed attempt.
    owner.log(Log::Level::Error, "Connection failed (reason=%s).", "Connection request refused");
    connectionDone();
    scheduleConnect(RetryDelayMs);
}

void Connection::onConnected(std::function<void()> const& subscriptions) {
    connectionDone();
    {
        CheckedLock lock(subscriptionsMutex);
        if (!running) {
            // A connection that completed after a stop: its subscriptions
            // and its "connected" would reach listeners that are going away.
            owner.log(Log::Level::Info, "Connected after a stop: nothing subscribed");
            return;
        }
        ++subscriptionThreads;
    }
    std::thread subscriptionsThread([this, subscriptions] {
        // An exception escaping here would end the process.
        try {
            subscriptions();
        } catch (std::exception const& e) {
            owner.log(Log::Level::Error, "Subscriptions thread failed: %s", e.what());
        }
        CheckedLock lock(subscriptionsMutex);
        --subscriptionThreads;
        subscriptionsDone.notify_all();
    });
    connectedSemaphore.Post(1);
    subscriptionsThread.detach();
}

void Connection::onDisconnected() {
    // A disconnection that stop asked for finds running clear; one from a
    // stop before a restart finds the restart's attempt pending.
    scheduleConnect(RetryDelayMs);
}

void Connection::onConnectFailed() {
    connectionDone();
    scheduleConnect(RetryDelayMs);
}

void Connection::onSubscribeFailed(std::string const& topic) {
    scheduleRetry([this, topic] { brokerClient->subscribe(topic, 0); });
}

void Connection::onUnsubscribeFailed(std::string const& topic) {
    scheduleRetry([this, topic] { brokerClient->unsubscribe(topic); });
}

void Connection::scheduleRetry(std::function<void()> const& retry) {
    uint64_t current;
    {
        CheckedLock lock(connectionMutex);
        if (!running) {
            return;
        }
        current = generation;
    }
    tasks.post(std::chrono::milliseconds(RetryDelayMs), [this, current, retry] {
        {
            CheckedLock lock(connectionMutex);
            if (!running || generation != current) {
                return;
            }
        }
        retry();
    });
}

} // namespace MQTT

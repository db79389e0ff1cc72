#include "mqtt/MQTTClient.h"

#include <mqtt/create_options.h>
#include <mqtt/exception.h>
#include <mqtt/message.h>

#include <chrono>
#include <cstdarg>
#include <thread>

#include "foundation/Secrets.h"
#include "foundation/String.h"

namespace {

char const* yesNo(bool flag) {
    return flag ? "yes" : "no";
}

// An old library client still busy after this long is logged.
constexpr auto RetireWait = std::chrono::seconds(10);

// Publications the library queues for its sending thread; past it a
// publication is refused. The library's default of 100 is reached by the
// replies to a burst of requests whenever its sending thread waits for the
// processor. This holds ten seconds of replies at a thousand requests a
// second, a few megabytes at most.
constexpr int MaxBufferedMessages = 10000;

} // namespace

MQTTClient::MQTTClient(MQTTClientListener* clientListener)
    : listener(clientListener), relay(*this), connectListener(&relay), disconnectListener(&relay),
      subscribeListener(&relay), unsubscribeListener(&relay), publishListener(&relay) {
    connectOptions.set_keep_alive_interval(20);
    connectOptions.set_clean_session(true);
    connectOptions.set_connect_timeout(5);
}

MQTTClient::~MQTTClient() {
    close();
}

template <typename Call> void MQTTClient::notify(Call call) {
    if (!listener) {
        return;
    }
    {
        CheckedLock lock(callbacksMutex);
        ++runningCallbacks;
    }
    call(*listener);
    {
        CheckedLock lock(callbacksMutex);
        --runningCallbacks;
    }
    callbacksDone.notify_all();
}

MQTTClient::ClientPtr MQTTClient::currentClient() const {
    CheckedLock lock(clientMutex);
    return client;
}

void MQTTClient::keepToken(mqtt::token_ptr const& token) {
    CheckedLock lock(tokenMutex);
    lastToken = token;
}

void MQTTClient::retire(ClientPtr old) {
    if (!old) {
        return;
    }
    // Requests copy the pointer only for the length of one library call, and
    // the library forbids destroying its client inside its own callbacks: a
    // handler may hold a callback for long (a firmware run), so the wait has
    // no limit; one that lasts is logged.
    auto const since = std::chrono::steady_clock::now();
    bool reported = false;
    auto const reportOverdue = [&] {
        if (!reported && std::chrono::steady_clock::now() - since >= RetireWait) {
            reported = true;
            Log::print(Log::Level::Warning,
                       "[MQTTClient] Old client still in use after %lld s: waiting for its "
                       "callbacks to return",
                       static_cast<long long>(RetireWait.count()));
        }
    };
    while (old.use_count() > 1) {
        reportOverdue();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CheckedLock lock(callbacksMutex);
    while (!lock.waitFor(callbacksDone, std::chrono::milliseconds(100), [this] {
        callbacksMutex.assertHeld();
        return runningCallbacks == 0;
    })) {
        lock.unlock();
        reportOverdue();
        lock.relock();
    }
    lock.unlock();
    old.reset();
}

bool MQTTClient::connect() {
    std::string address;
    std::string identity;
    mqtt::connect_options options;
    {
        CheckedLock lock(settingsMutex);
        address = brokerAddress;
        identity = identifier;
        options = connectOptions;
    }
    log(Log::Level::Debug, "Connecting to '%s'", address.c_str());
    try {
        ClientPtr old;
        ClientPtr current;
        {
            CheckedLock lock(clientMutex);
            if (!client || clientUrl != address || clientIdentifier != identity) {
                old = std::move(client);
                client.reset();
            }
            current = client;
        }
        if (!current) {
            retire(std::move(old));
            current = std::make_shared<mqtt::async_client>(
                address, identity, mqtt::create_options(MQTTVERSION_DEFAULT, MaxBufferedMessages),
                &persistence);
            current->set_callback(*this);
            CheckedLock lock(clientMutex);
            client = current;
            clientUrl = address;
            clientIdentifier = identity;
        }
        keepToken(current->connect(options, nullptr, connectListener));
        return true;
    } catch (mqtt::exception const& exception) {
        log(Log::Level::Error, "[ERROR] %s", exception.what());
        return false;
    }
}

bool MQTTClient::disconnect(int timeoutMs) {
    log(Log::Level::Debug, "Disconnecting from '%s'", url().c_str());
    ClientPtr current = currentClient();
    if (!current) {
        log(Log::Level::Error, "Client not connected.");
        return false;
    }
    try {
        keepToken(current->disconnect(timeoutMs, nullptr, disconnectListener));
        return true;
    } catch (mqtt::exception const& exception) {
        log(Log::Level::Error, "[ERROR] %s", exception.what());
        return false;
    }
}

bool MQTTClient::subscribe(std::string const& topic, int qos) {
    log(Log::Level::Debug, "Subscribing to '%s' (qos=%d)", topic.c_str(), qos);
    ClientPtr current = currentClient();
    if (!current) {
        log(Log::Level::Error, "Client not connected.");
        return false;
    }
    try {
        keepToken(current->subscribe(topic, qos, nullptr, subscribeListener));
        return true;
    } catch (mqtt::exception const& exception) {
        log(Log::Level::Error, "[ERROR] %s", exception.what());
        return false;
    }
}

bool MQTTClient::unsubscribe(std::string const& topic) {
    log(Log::Level::Debug, "Unsubscribing from '%s'", topic.c_str());
    ClientPtr current = currentClient();
    if (!current) {
        log(Log::Level::Error, "Client not connected.");
        return false;
    }
    try {
        keepToken(current->unsubscribe(topic, nullptr, unsubscribeListener));
        return true;
    } catch (mqtt::exception const& exception) {
        log(Log::Level::Error, "[ERROR] %s", exception.what());
        return false;
    }
}

bool MQTTClient::publish(std::string const& topic, std::string const& payload, int qos,
                         bool retained) {
    log(Log::Level::Debug, "Publishing message.");
    log(Log::Level::Debug, "Topic     = %s", topic.c_str());
    log(Log::Level::Debug, "QoS       = %d", qos);
    log(Log::Level::Debug, "Retained  = %s", yesNo(retained));
    if (Log::isEnabled(Log::Level::Debug)) {
        log(Log::Level::Debug, "Data      = '%s'",
            String::clip(Secrets::maskedPayload(topic, payload)).c_str());
    }
    ClientPtr current = currentClient();
    if (!current) {
        log(Log::Level::Error, "Client not connected.");
        return false;
    }
    try {
        auto message = mqtt::make_message(topic, payload.data(), payload.size(), qos, retained);
        mqtt::delivery_token_ptr token = current->publish(message, nullptr, publishListener);
        keepToken(token);
        log(Log::Level::Debug, "ID        = '%d'", token ? token->get_message_id() : 0);
        return true;
    } catch (mqtt::exception const& exception) {
        log(Log::Level::Error, "[ERROR] %s", exception.what());
        if (exception.get_return_code() == MQTTASYNC_MAX_BUFFERED_MESSAGES) {
            // A message lost while connected is never silent.
            Log::print(Log::Level::Error, "[MQTTClient] Message to '%s' dropped: %s", topic.c_str(),
                       exception.what());
        }
        return false;
    }
}

void MQTTClient::close() {
    ClientPtr old;
    {
        CheckedLock lock(clientMutex);
        old = std::move(client);
        client.reset();
    }
    retire(std::move(old));
}

void MQTTClient::setClientId(std::string const& clientId) {
    CheckedLock lock(settingsMutex);
    identifier = clientId;
}

void MQTTClient::setUrl(std::string const& url) {
    CheckedLock lock(settingsMutex);
    brokerAddress = url;
}

void MQTTClient::setUsername(std::string const& username) {
    CheckedLock lock(settingsMutex);
    connectOptions.set_user_name(username);
}

void MQTTClient::setPassword(std::string const& password) {
    CheckedLock lock(settingsMutex);
    connectOptions.set_password(password);
}

void MQTTClient::setKeepAlive(int seconds) {
    CheckedLock lock(settingsMutex);
    connectOptions.set_keep_alive_interval(seconds);
}

void MQTTClient::setCleanSession(bool clean) {
    CheckedLock lock(settingsMutex);
    connectOptions.set_clean_session(clean);
}

void MQTTClient::setTrustStore(std::string const& path) {
    CheckedLock lock(settingsMutex);
    sslOptions.set_trust_store(path);
    connectOptions.set_ssl(sslOptions);
}

void MQTTClient::setKeyStore(std::string const& path) {
    CheckedLock lock(settingsMutex);
    sslOptions.set_key_store(path);
    connectOptions.set_ssl(sslOptions);
}

void MQTTClient::setPrivateKey(std::string const& path) {
    CheckedLock lock(settingsMutex);
    sslOptions.set_private_key(path);
    connectOptions.set_ssl(sslOptions);
}

void MQTTClient::setPrivateKeyPassword(std::string const& password) {
    CheckedLock lock(settingsMutex);
    sslOptions.set_private_key_password(password);
    connectOptions.set_ssl(sslOptions);
}

void MQTTClient::setEnabledCipherSuites(std::string const& suites) {
    CheckedLock lock(settingsMutex);
    sslOptions.set_enabled_cipher_suites(suites);
    connectOptions.set_ssl(sslOptions);
}

void MQTTClient::setEnableServerCertAuth(bool enable) {
    CheckedLock lock(settingsMutex);
    sslOptions.set_enable_server_cert_auth(enable);
    connectOptions.set_ssl(sslOptions);
}

void MQTTClient::setWill(std::string const& topic, std::string const& payload, int qos,
                         bool retained) {
    CheckedLock lock(settingsMutex);
    willOptions = mqtt::will_options(topic, payload, qos, retained);
    connectOptions.set_will(willOptions);
}

void MQTTClient::setLogEnabled(bool enabled) {
    logEnabled = enabled;
}

bool MQTTClient::isConnected() const {
    ClientPtr current = currentClient();
    return current && current->is_connected();
}

std::string MQTTClient::clientId() const {
    CheckedLock lock(settingsMutex);
    return identifier;
}

std::string MQTTClient::url() const {
    CheckedLock lock(settingsMutex);
    return brokerAddress;
}

std::string MQTTClient::username() const {
    CheckedLock lock(settingsMutex);
    return connectOptions.get_user_name();
}

std::string MQTTClient::password() const {
    CheckedLock lock(settingsMutex);
    return connectOptions.get_password_str();
}

bool MQTTClient::wait(int ms) {
    mqtt::token_ptr token;
    {
        CheckedLock lock(tokenMutex);
        token = lastToken;
    }
    if (!token) {
        return false;
    }
    if (ms < 0) {
        token->wait();
        return true;
    }
    return token->wait_for(std::chrono::milliseconds(ms));
}

void MQTTClient::log(Log::Level level, char const* format, ...) const {
    if (!logEnabled || !Log::isEnabled(level)) {
        return;
    }
    std::string const line = std::string("[MQTTClient] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, line.c_str(), args);
    va_end(args);
}

void MQTTClient::connected(std::string const& cause) {
    log(Log::Level::Debug, "Connected (cause=%s).", cause.c_str());
    notify([](MQTTClientListener& target) { target.onConnected(); });
}

void MQTTClient::connection_lost(std::string const& cause) {
    log(Log::Level::Debug, "Disconnected (cause=%s)!", cause.c_str());
    notify([](MQTTClientListener& target) { target.onDisconnected(); });
}

void MQTTClient::message_arrived(mqtt::const_message_ptr message) {
    if (!message) {
        return;
    }
    std::string const topic = message->get_topic();
    std::string const payload = message->to_string();
    int const qos = message->get_qos();
    bool const retained = message->is_retained();
    log(Log::Level::Debug, "New message received.");
    log(Log::Level::Debug, "Topic     = %s", topic.c_str());
    log(Log::Level::Debug, "QoS       = %d", qos);
    log(Log::Level::Debug, "Retained  = %s", yesNo(retained));
    log(Log::Level::Debug, "Duplicate = %s", yesNo(message->is_duplicate()));
    if (Log::isEnabled(Log::Level::Debug)) {
        log(Log::Level::Debug, "Data      = '%s'",
            String::clip(Secrets::maskedPayload(topic, payload)).c_str());
    }
    notify([&](MQTTClientListener& target) {
        target.onMessageReceived(topic, payload, qos, retained);
    });
}

void MQTTClient::delivery_complete(mqtt::delivery_token_ptr token) {
    int const id = token ? token->get_message_id() : 0;
    log(Log::Level::Debug, "Message delivered (id=%d)", id);
    notify([id](MQTTClientListener& target) { target.onMessageDelivered(id); });
}

void MQTTClient::Relay::onConnected() {
    owner.notify([](MQTTClientListener& target) { target.onConnected(); });
}

void MQTTClient::Relay::onDisconnected() {
    owner.notify([](MQTTClientListener& target) { target.onDisconnected(); });
}

void MQTTClient::Relay::onSubscribed(std::string const& topic) {
    owner.notify([&](MQTTClientListener& target) { target.onSubscribed(topic); });
}

void MQTTClient::Relay::onUnsubscribed(std::string const& topic) {
    owner.notify([&](MQTTClientListener& target) { target.onUnsubscribed(topic); });
}

void MQTTClient::Relay::onMessageSent(int id) {
    owner.notify([id](MQTTClientListener& target) { target.onMessageSent(id); });
}

void MQTTClient::Relay::onMessageDelivered(int id) {
    owner.notify([id](MQTTClientListener& target) { target.onMessageDelivered(id); });
}

void MQTTClient::Relay::onMessageReceived(std::string const& topic, std::string const& payload,
                                          int qos, bool retained) {
    owner.notify([&](MQTTClientListener& target) {
        target.onMessageReceived(topic, payload, qos, retained);
    });
}

void MQTTClient::Relay::onConnectFailed(std::string const& reason) {
    owner.notify([&](MQTTClientListener& target) { target.onConnectFailed(reason); });
}

void MQTTClient::Relay::onSubscribeFailed(std::string const& topic) {
    owner.notify([&](MQTTClientListener& target) { target.onSubscribeFailed(topic); });
}

void MQTTClient::Relay::onUnsubscribeFailed(std::string const& topic) {
    owner.notify([&](MQTTClientListener& target) { target.onUnsubscribeFailed(topic); });
}

void MQTTClient::Relay::onMessageSendFailed(int id) {
    owner.notify([id](MQTTClientListener& target) { target.onMessageSendFailed(id); });
}

#pragma once

#include <mqtt/async_client.h>
#include <mqtt/callback.h>
#include <mqtt/connect_options.h>
#include <mqtt/ssl_options.h>
#include <mqtt/token.h>
#include <mqtt/will_options.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <string>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Log.h"
#include "mqtt/MQTTActionListeners.h"
#include "mqtt/MQTTClientListener.h"
#include "mqtt/MQTTMemoryPersistence.h"
#include "mqtt/MQTTPublisher.h"

// The only contact with the MQTT client library: each request becomes one
// asynchronous library call, each library event one listener call. It keeps
// no connection state, queue or retry of its own; the listener decides.
//
// Threads: requests may come from any thread. The library client is made
// (and an old one destroyed) by connect(), which must never run on a library
// thread; the pointer is guarded by clientMutex and an old client is only
// destroyed once no request uses it and no callback of ours runs, so no
// request ever reaches a destroyed client. Every listener call runs on a
// library thread.
class MQTTClient : public virtual mqtt::callback, public MQTTPublisher {
public:
    // listener may be null: events are then dropped.
    explicit MQTTClient(MQTTClientListener* listener);
    // Makes no request: the library client is destroyed first.
    ~MQTTClient() override;
    MQTTClient(MQTTClient const&) = delete;
    MQTTClient& operator=(MQTTClient const&) = delete;

    // Requests: true when the library accepted it; the outcome comes later as
    // a listener call. Without a library client every request but connect
    // fails. A library exception is traced and gives false.
    // connect makes a new library client when there is none or url or client
    // id changed since it was made; an old one goes first, once its
    // callbacks have returned.
    bool connect();
    bool disconnect(int timeoutMs);
    bool subscribe(std::string const& topic, int qos);
    bool unsubscribe(std::string const& topic);
    bool publish(std::string const& topic, std::string const& payload, int qos,
                 bool retained) override;

    // Destroys the library client (waiting, without limit, for callbacks of
    // ours that run); a later connect makes a new one. Must not run on a
    // library thread.
    void close();

    // Settings, used by the next connect.
    void setClientId(std::string const& clientId);
    void setUrl(std::string const& url);
    void setUsername(std::string const& username);
    void setPassword(std::string const& password);
    void setKeepAlive(int seconds);
    void setCleanSession(bool clean);
    void setTrustStore(std::string const& path);
    void setKeyStore(std::string const& path);
    void setPrivateKey(std::string const& path);
    void setPrivateKeyPassword(std::string const& password);
    void setEnabledCipherSuites(std::string const& suites);
    void setEnableServerCertAuth(bool enable);
    void setWill(std::string const& topic, std::string const& payload, int qos, bool retained);
    void setLogEnabled(bool enabled);

    // False while there is no library client.
    bool isConnected() const;
    std::string clientId() const;
    std::string url() const;
    std::string username() const;
    std::string password() const;
    // Waits for the last request: -1 without limit, 0 only checks. False when
    // there was none yet; a failed request's mqtt::exception is passed on.
    bool wait(int ms);

    // Trace line "[MQTTClient] ..." when the log switch is on.
    void log(Log::Level level, char const* format, ...) const __attribute__((format(printf, 3, 4)));

private:
    using ClientPtr = std::shared_ptr<mqtt::async_client>;

    // Library callbacks.
    void connected(std::string const& cause) override;
    void connection_lost(std::string const& cause) override;
    void message_arrived(mqtt::const_message_ptr message) override;
    void delivery_complete(mqtt::delivery_token_ptr token) override;

    // Forwards the action listeners' results to the listener, counted as
    // running callbacks.
    class Relay : public MQTTClientListener {
    public:
        explicit Relay(MQTTClient& client) : owner(client) {}
        void onConnected() override;
        void onDisconnected() override;
        void onSubscribed(std::string const& topic) override;
        void onUnsubscribed(std::string const& topic) override;
        void onMessageSent(int id) override;
        void onMessageDelivered(int id) override;
        void onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                               bool retained) override;
        void onConnectFailed(std::string const& reason) override;
        void onSubscribeFailed(std::string const& topic) override;
        void onUnsubscribeFailed(std::string const& topic) override;
        void onMessageSendFailed(int id) override;

    private:
        MQTTClient& owner;
    };

    // Calls the listener, if any, as one counted callback.
    template <typename Call> void notify(Call call);
    ClientPtr currentClient() const;
    void keepToken(mqtt::token_ptr const& token);
    // Destroys client once no request holds it and no callback runs, however
    // long that takes.
    void retire(ClientPtr client);

    std::atomic<bool> logEnabled{false};
    MQTTClientListener* listener; // not owned
    Relay relay;

    mutable CheckedMutex settingsMutex;
    std::string identifier GUARDED_BY(settingsMutex) = "velt_mqtt_client";
    std::string brokerAddress GUARDED_BY(settingsMutex);

    CheckedMutex tokenMutex;
    mqtt::token_ptr lastToken GUARDED_BY(tokenMutex);

    MQTTConnectListener connectListener;
    MQTTDisconnectListener disconnectListener;
    MQTTSubscribeListener subscribeListener;
    MQTTUnSubscribeListener unsubscribeListener;
    MQTTPublishListener publishListener;

    mqtt::connect_options connectOptions GUARDED_BY(settingsMutex);
    mqtt::ssl_options sslOptions GUARDED_BY(settingsMutex);
    mqtt::will_options willOptions GUARDED_BY(settingsMutex);
    MQTTMemoryPersistence persistence;

    CheckedMutex callbacksMutex;
    std::condition_variable callbacksDone;
    int runningCallbacks GUARDED_BY(callbacksMutex) = 0;

    // The library client and the identity it was made with.
    mutable CheckedMutex clientMutex;
    ClientPtr client GUARDED_BY(clientMutex);
    std::string clientUrl GUARDED_BY(clientMutex);
    std::string clientIdentifier GUARDED_BY(clientMutex);
};

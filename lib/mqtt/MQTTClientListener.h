#pragma once

#include <string>

// What the broker connection wrapper reports. Every operation runs on a
// thread of the MQTT library.
class MQTTClientListener {
public:
    virtual ~MQTTClientListener() = default;

    virtual void onConnected() = 0;
    // A lost connection and a completed requested disconnect alike.
    virtual void onDisconnected() = 0;
    virtual void onSubscribed(std::string const& topic) = 0;
    virtual void onUnsubscribed(std::string const& topic) = 0;
    virtual void onMessageSent(int id) = 0;
    virtual void onMessageDelivered(int id) = 0;
    // qos is MQTT's own number 0, 1 or 2.
    virtual void onMessageReceived(std::string const& topic, std::string const& payload, int qos,
                                   bool retained) = 0;
    virtual void onConnectFailed(std::string const& reason) = 0;
    virtual void onSubscribeFailed(std::string const& topic) = 0;
    virtual void onUnsubscribeFailed(std::string const& topic) = 0;
    virtual void onMessageSendFailed(int id) = 0;
};

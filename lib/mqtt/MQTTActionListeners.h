#pragma once

#include <mqtt/iaction_listener.h>
#include <mqtt/token.h>

#include <map>
#include <string>

#include "mqtt/MQTTClientListener.h"

// Turn the library's asynchronous request results into listener calls. They
// keep no state between requests; a null listener drops every result.

class MQTTConnectListener : public virtual mqtt::iaction_listener {
public:
    explicit MQTTConnectListener(MQTTClientListener* target) : listener(target) {}

    void on_failure(mqtt::token const& token) override;
    // The connection itself is reported by the library's connected callback.
    void on_success(mqtt::token const& token) override;

    // The reason text of a connect return code; "Unknown reason" when unlisted.
    static std::string reason(int returnCode);

private:
    static std::map<int, std::string> const& errorCodes();

    MQTTClientListener* listener; // not owned
};

class MQTTDisconnectListener : public virtual mqtt::iaction_listener {
public:
    explicit MQTTDisconnectListener(MQTTClientListener* target) : listener(target) {}

    // Logged always; the listener is not told.
    void on_failure(mqtt::token const& token) override;
    void on_success(mqtt::token const& token) override;

private:
    MQTTClientListener* listener; // not owned
};

class MQTTSubscribeListener : public virtual mqtt::iaction_listener {
public:
    explicit MQTTSubscribeListener(MQTTClientListener* target) : listener(target) {}

    void on_failure(mqtt::token const& token) override;
    void on_success(mqtt::token const& token) override;

private:
    MQTTClientListener* listener; // not owned
};

class MQTTUnSubscribeListener : public virtual mqtt::iaction_listener {
public:
    explicit MQTTUnSubscribeListener(MQTTClientListener* target) : listener(target) {}

    void on_failure(mqtt::token const& token) override;
    void on_success(mqtt::token const& token) override;

private:
    MQTTClientListener* listener; // not owned
};

class MQTTPublishListener : public virtual mqtt::iaction_listener {
public:
    explicit MQTTPublishListener(MQTTClientListener* target) : listener(target) {}

    void on_failure(mqtt::token const& token) override;
    void on_success(mqtt::token const& token) override;

private:
    MQTTClientListener* listener; // not owned
};

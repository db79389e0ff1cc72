#include "support/mqtt/Recorder.h"

#include <unistd.h>

#include <atomic>
#include <chrono>

namespace mqtttest {

namespace {

constexpr auto RequestWait = std::chrono::seconds(5);

std::string uniqueId() {
    static std::atomic<int> counter{0};
    return "recorder-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

bool finished(mqtt::token_ptr const& token) {
    try {
        return token && token->wait_for(RequestWait) && token->get_return_code() == 0;
    } catch (mqtt::exception const&) {
        return false;
    }
}

} // namespace

Recorder::Recorder(std::string const& url, std::string const& clientId)
    : client(std::make_unique<mqtt::async_client>(url, clientId.empty() ? uniqueId() : clientId,
                                                  nullptr)) {
    client->set_callback(*this);
}

Recorder::~Recorder() {
    try {
        if (client->is_connected()) {
            client->disconnect()->wait_for(RequestWait);
        }
    } catch (mqtt::exception const&) {
        // The broker may be gone already.
    }
}

bool Recorder::connect(std::string const& username, std::string const& password) {
    mqtt::connect_options options;
    options.set_clean_session(true);
    options.set_connect_timeout(5);
    if (!username.empty()) {
        options.set_user_name(username);
        options.set_password(password);
    }
    try {
        return finished(client->connect(options));
    } catch (mqtt::exception const&) {
        return false;
    }
}

bool Recorder::subscribe(std::string const& filter, int qos) {
    try {
        return finished(client->subscribe(filter, qos));
    } catch (mqtt::exception const&) {
        return false;
    }
}

bool Recorder::unsubscribe(std::string const& filter) {
    try {
        return finished(client->unsubscribe(filter));
    } catch (mqtt::exception const&) {
        return false;
    }
}

bool Recorder::publish(std::string const& topic, std::string const& payload, int qos,
                       bool retained) {
    try {
        return finished(client->publish(topic, payload.data(), payload.size(), qos, retained));
    } catch (mqtt::exception const&) {
        return false;
    }
}

void Recorder::message_arrived(mqtt::const_message_ptr message) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({message->get_topic(), message->to_string(), message->is_retained(),
                            message->get_qos()});
    }
    arrived.notify_all();
}

bool Recorder::take(std::string const& topic, Received& message, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    while (true) {
        for (auto it = messages.begin(); it != messages.end(); ++it) {
            if (it->topic == topic) {
                message = *it;
                messages.erase(it);
                return true;
            }
        }
        if (timedOut) {
            return false;
        }
        timedOut = arrived.wait_until(lock, deadline) == std::cv_status::timeout;
    }
}

std::string Recorder::takePayload(std::string const& topic, int timeoutMs) {
    Received message;
    return take(topic, message, timeoutMs) ? message.payload : std::string();
}

bool Recorder::quiet(std::string const& topic, int timeoutMs) {
    Received message;
    return !take(topic, message, timeoutMs);
}

std::vector<Received> Recorder::pending() const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<Received>(messages.begin(), messages.end());
}

void Recorder::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    messages.clear();
}

} // namespace mqtttest

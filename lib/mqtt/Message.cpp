#include "mqtt/Message.h"

#include <stdexcept>
#include <utility>

namespace MQTT {

int toMqttQos(QoS qos) {
    switch (qos) {
    case QoS::AtLeastOnce:
        return 1;
    case QoS::ExactlyOnce:
        return 2;
    default:
        return 0;
    }
}

QoS fromMqttQos(int qos) {
    switch (qos) {
    case 1:
        return QoS::AtLeastOnce;
    case 2:
        return QoS::ExactlyOnce;
    default:
        return QoS::AtMostOnce;
    }
}

bool toRetainFlag(Retained retained) {
    return retained == Retained::Yes;
}

Retained fromRetainFlag(bool flag) {
    return flag ? Retained::Yes : Retained::No;
}

Message::Message(std::string topicName, std::string body, Retained retain, QoS level)
    : topic(std::move(topicName)), payload(std::move(body)), retained(retain), qos(level) {}

void requireRequestSize(Message const& request) {
    if (request.payload.size() > MaxRequestBytes) {
        throw std::length_error("Payload too large: " + std::to_string(request.payload.size()) +
                                " bytes, at most " + std::to_string(MaxRequestBytes));
    }
}

} // namespace MQTT

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace MQTT {

// The service's own numbering, not MQTT's: stored values and every caller
// use these numbers, so convert only with the helpers below, never a cast.
enum class Retained : int32_t { Yes = 0, No = 1 };
enum class QoS : int32_t { AtLeastOnce = 0, AtMostOnce = 1, ExactlyOnce = 2 };

// Broker boundary: AtLeastOnce is QoS 1, ExactlyOnce QoS 2, anything else 0.
int toMqttQos(QoS qos);
// QoS 1 is AtLeastOnce, 2 ExactlyOnce, anything else AtMostOnce.
QoS fromMqttQos(int qos);
// Only Retained::Yes sets the retain flag.
bool toRetainFlag(Retained retained);
Retained fromRetainFlag(bool flag);

// One message as the service sees it; the payload is passed on untouched.
struct Message {
    Message(std::string topic, std::string payload, Retained retained, QoS qos);

    std::string topic; // absolute, or relative to the base topic where the user says so
    std::string payload;
    Retained retained;
    QoS qos;
};

// The largest request the service takes: a value, a section or a call's
// arguments are far smaller, and parsing a larger one would hold every other
// request back, since messages arrive one at a time.
constexpr size_t MaxRequestBytes = 1u << 20;
// Throws std::length_error, naming the size and the limit, for a request
// beyond MaxRequestBytes.
void requireRequestSize(Message const& request);

} // namespace MQTT

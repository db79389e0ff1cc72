#pragma once

#include <string>

// Where the service's client sends its publications: the broker connection
// wrapper, or a harness that runs the client without a broker and captures
// what it would publish.
class MQTTPublisher {
public:
    virtual ~MQTTPublisher() = default;

    // qos is MQTT's own number 0, 1 or 2. True when the message was taken on.
    virtual bool publish(std::string const& topic, std::string const& payload, int qos,
                         bool retained) = 0;
};

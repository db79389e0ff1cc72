#pragma once

#include <mqtt/iclient_persistence.h>

#include <map>
#include <string>
#include <vector>

// The library client's store of messages in flight, kept in memory only: no
// message in flight survives a restart of the process. Used only by the
// library client, which serialises its calls; it takes no lock.
class MQTTMemoryPersistence : public virtual mqtt::iclient_persistence {
public:
    void open(std::string const& clientId, std::string const& serverURI) override;
    void close() override;
    void clear() override;
    bool contains_key(std::string const& key) override;
    // Every stored key in ascending byte order.
    mqtt::string_collection keys() const override;
    // Joins the buffers in order and replaces what the key held.
    void put(std::string const& key, std::vector<mqtt::string_view> const& buffers) override;
    // An absent key throws mqtt::persistence_exception with code -2.
    std::string get(std::string const& key) const override;
    // An absent key throws mqtt::persistence_exception with code -2.
    void remove(std::string const& key) override;

private:
    std::map<std::string, std::string> store;
};

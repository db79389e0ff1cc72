#include "mqtt/MQTTMemoryPersistence.h"

#include <mqtt/exception.h>

namespace {

// The library's persistence error code.
constexpr int PersistenceError = -2;

} // namespace

void MQTTMemoryPersistence::open(std::string const&, std::string const&) {}

void MQTTMemoryPersistence::close() {}

void MQTTMemoryPersistence::clear() {
    store.clear();
}

bool MQTTMemoryPersistence::contains_key(std::string const& key) {
    return store.find(key) != store.end();
}

mqtt::string_collection MQTTMemoryPersistence::keys() const {
    mqtt::string_collection collection;
    for (auto const& entry : store) {
        collection.push_back(entry.first);
    }
    return collection;
}

void MQTTMemoryPersistence::put(std::string const& key,
                                std::vector<mqtt::string_view> const& buffers) {
    std::string joined;
    for (auto const& buffer : buffers) {
        joined.append(buffer.data(), buffer.size());
    }
    store[key] = std::move(joined);
}

std::string MQTTMemoryPersistence::get(std::string const& key) const {
    auto const found = store.find(key);
    if (found == store.end()) {
        throw mqtt::persistence_exception(PersistenceError,
                                          "MQTTMemoryPersistance::get(): Key not found.");
    }
    return found->second;
}

void MQTTMemoryPersistence::remove(std::string const& key) {
    if (store.erase(key) == 0) {
        throw mqtt::persistence_exception(PersistenceError);
    }
}

#pragma once

#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "config/Config.h"
#include "config/Configurable.h"
#include "foundation/Logger.h"
#include "mqtt/Client.h"

namespace velt::ZRV480::BoardManager::Config {

// Owns the "mqtt" section: carries it to and from the MQTT client's settings,
// and offers the whole configuration document as the tree node "config".
class MqttAdaptor : public Configurable, public Logger {
public:
    // Registers the node "config" at the root of the client's tree.
    MqttAdaptor(std::shared_ptr<Config> config, std::shared_ptr<MQTT::Client> client);

    // A differing "mqtt" section replaces the client's settings, merged over
    // the defaults with an empty base topic; the client restarts with them.
    // One that is no object is refused (std::invalid_argument).
    // A write through the node hands it over already merged over the
    // settings in effect.
    void onConfigSet(nlohmann::json const& document) override;
    nlohmann::json onConfigGet() const override;

    // The node "config": the document in effect without the broker password,
    // and a write that applies a document as the file is applied, rewrites
    // the file and retains the node again; a write that is no JSON object is
    // refused with InvalidParameter. A written "mqtt" section changes the
    // settings it names and keeps the others in effect; without "password"
    // it keeps the password in effect only when "url" and "username" stay
    // the same, else the client connects without one.
    std::pair<bool, nlohmann::json> lambdaTreeUpdate();
    std::pair<bool, nlohmann::json> lambdaTreeSet(nlohmann::json const& written);

private:
    // After a write through the node: its subscriptions follow the document
    // in effect, and the node is retained again.
    void followWrite();
    // The client's settings with the written section merged over them.
    nlohmann::json inEffectWith(nlohmann::json const& section) const;

    std::shared_ptr<Config> config;
    std::shared_ptr<MQTT::Client> client;
};

} // namespace velt::ZRV480::BoardManager::Config

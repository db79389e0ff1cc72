#include "config/MqttAdaptor.h"

#include <map>
#include <stdexcept>
#include <string>

#include "bus/ErrorCode.h"
#include "config/SettingLimits.h"
#include "foundation/LambdaTree.h"
#include "foundation/Secrets.h"
#include "mqtt/Config.h"

namespace velt::ZRV480::BoardManager::Config {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using nlohmann::json;

MqttAdaptor::MqttAdaptor(std::shared_ptr<Config> sharedConfig,
                         std::shared_ptr<MQTT::Client> sharedClient)
    : Logger("ConfigMqttAdaptor"), config(std::move(sharedConfig)),
      client(std::move(sharedClient)) {
    LambdaTree const node(LambdaTree::bindGetter(&MqttAdaptor::lambdaTreeUpdate, this),
                          LambdaTree::bindSetter(&MqttAdaptor::lambdaTreeSet, this));
    this->client->subscribeLambdaTree(
        LambdaTree(std::map<std::string, LambdaTree>{{"config", node}}), "");
}

// The node's value is published retained at every connection: the broker
// password stays in the file and never goes out.
std::pair<bool, json> MqttAdaptor::lambdaTreeUpdate() {
    json document = config->get();
    if (document.is_object() && document["mqtt"].is_object()) {
        document["mqtt"].erase("password");
    }
    return {true, document};
}

std::pair<bool, json> MqttAdaptor::lambdaTreeSet(json const& written) {
    if (!written.is_object()) {
        return {false,
                {{"code", static_cast<int32_t>(ErrorCode::InvalidParameter)},
                 {"what", ec2str(ErrorCode::InvalidParameter)},
                 {"description", "the configuration takes a JSON object of sections, got " +
                                     Secrets::described(written)}}};
    }
    // Held to the limits as written, before the merge makes other values of it.
    SettingLimits::check(written);
    json document = written;
    if (document.contains("mqtt")) {
        document["mqtt"] = inEffectWith(document["mqtt"]);
    }
    try {
        config->set(document);
    } catch (...) {
        // What the other owners applied is in effect and in the file.
        followWrite();
        throw;
    }
    followWrite();
    return {true, written};
}

void MqttAdaptor::followWrite() {
    client->updateLambdaTreeSubscriptions("config", true);
    // The retained copy is what a later subscriber reads first.
    client->publishLambdaTreeNode("config", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce);
}

json MqttAdaptor::inEffectWith(json const& section) const {
    MQTT::Config const current = client->getConfig();
    MQTT::Config merged = current;
    merged.fromJson(section);
    // Readers never see the password, so a section written back from what
    // they read keeps the one in effect, but only for the same broker and
    // user: it must not follow them anywhere else.
    if (!section.contains("password") &&
        (merged.getUrl() != current.getUrl() || merged.getUsername() != current.getUsername())) {
        merged.setPassword("");
    }
    return merged.toJson();
}

void MqttAdaptor::onConfigSet(json const& document) {
    log(Log::Level::Debug, "Notified of config set");
    if (!document.is_object() || !document.contains("mqtt")) {
        log(Log::Level::Debug, "No `mqtt` field found. Ignoring.");
        return;
    }
    json const& section = document.at("mqtt");
    if (!section.is_object()) { // settings built from it would lose the base topic
        throw std::invalid_argument("section \"mqtt\" must be an object, got " +
                                    Secrets::described(section));
    }
    if (section == client->getConfig().toJson()) {
        log(Log::Level::Debug, "`mqtt` config is identical. Ignoring.");
        return;
    }
    log(Log::Level::Debug, "Setting `mqtt` config to: %s",
        Secrets::masked(section).dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    MQTT::Config settings("", "MQTT");
    settings.fromJson(section);
    client->setConfig(settings);
}

json MqttAdaptor::onConfigGet() const {
    log(Log::Level::Debug, "Notified of config get");
    return {{"mqtt", client->getConfig().toJson()}};
}

} // namespace velt::ZRV480::BoardManager::Config

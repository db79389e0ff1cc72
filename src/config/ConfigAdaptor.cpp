#include "config/ConfigAdaptor.h"

#include <exception>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

using nlohmann::json;

ConfigAdaptor::ConfigAdaptor(std::shared_ptr<BoardManager::Config::Config> sharedConfig,
                             std::shared_ptr<Engine> sharedEngine)
    : Logger("EngineConfigAdaptor"), config(std::move(sharedConfig)),
      engine(std::move(sharedEngine)) {
    this->engine->boardConfigChanged.connect_member(this, &ConfigAdaptor::onBoardConfigChanged);
    // A value written on a board's own topic goes to the file like one
    // written through the configuration.
    this->engine->boardConfigStored.connect([this](uint8_t) { onBoardConfigChanged(); });
}

void ConfigAdaptor::onBoardConfigChanged() {
    log(Log::Level::Info, "Calling config rewrite");
    config->reWrite();
}

void ConfigAdaptor::onConfigSet(json const& document) {
    log(Log::Level::Debug, "Notified of config set");
    if (!document.is_object()) {
        return;
    }
    std::exception_ptr refusal;
    if (document.contains("device")) {
        try {
            engine->setDeviceConfig(document.at("device"));
        } catch (std::exception const&) {
            refusal = std::current_exception();
        }
    }
    if (document.contains("boards")) {
        engine->setBoardsConfig(document.at("boards"));
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
}

json ConfigAdaptor::onConfigGet() const {
    log(Log::Level::Debug, "Notified of config get");
    json const device = engine->getDeviceConfig();
    json const boards = engine->getBoardsConfig();
    return {{"boards", boards}, {"device", device}};
}

} // namespace velt::ZRV480::BoardManager::Manager

#include "engine/Engine.h"

#include "bus/Parser.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Parser;
using Bus::Common::ec2str;
using Bus::Common::ErrorCode;

ErrorCode Engine::boardConfigCacheFromConfigFile(uint8_t address) {
    Bus::Board const& board = boards.at(address);
    char const* const boardName = board.getName().c_str();
    log(Log::Level::Info, "Loading %s configuration from config file", boardName);
    nlohmann::json document;
    state.with([&](EngineState const& s) { document = s.config.getBoardConfig(address); });
    for (auto const& [slot, slotConfig] : board.getConfigs()) {
        char const* const optionName = slotConfig.name.c_str();
        if (!document.is_object() || !document.contains(slotConfig.name)) {
            log(Log::Level::Warning, "Could not load %s option %s: Not found in config file",
                boardName, optionName);
            continue;
        }
        storeLoadedConfig(address, slot, document[slotConfig.name],
                          std::string(boardName) + " option " + slotConfig.name);
    }
    return ErrorCode::Success;
}

void Engine::storeLoadedConfig(uint8_t address, uint8_t slot, nlohmann::json const& value,
                               std::string const& what) {
    // Only a value that would be sent: the board is given what is cached.
    ErrorCode const code = Parser::configValueFits(boards.at(address), slot, value);
    if (code != ErrorCode::Success) {
        log(Log::Level::Warning, "Could not load %s: %s", what.c_str(), ec2str(code).c_str());
        return;
    }
    state.with([&](EngineState& s) {
        s.boardCaches.at(address).configs[slot] = {ErrorCode::Success, value};
    });
}

void Engine::storeAcceptedConfig(uint8_t address, uint8_t slot, nlohmann::json const& value) {
    std::string const& optionName = boards.at(address).getConfigs().at(slot).name;
    state.with([&](EngineState& s) {
        nlohmann::json document = s.config.getBoardConfig(address);
        if (!document.is_object()) {
            document = nlohmann::json::object();
        }
        document[optionName] = value;
        s.config.setBoardConfig(address, document);
    });
}

ErrorCode Engine::boardConfigCacheApply(uint8_t address) {
    Bus::Board const& board = boards.at(address);
    log(Log::Level::Debug, "boardConfigCacheApply(%s)", board.getName().c_str());
    // Decide from a snapshot, so the writes below do not change which way a
    // later slot goes.
    BoardCache const snapshot = getBoardCache(address);
    ErrorCode result = ErrorCode::Success;
    for (auto const& entry : board.getConfigs()) {
        auto const cached = snapshot.configs.find(entry.first);
        if (cached == snapshot.configs.end()) {
            continue;
        }
        if (cached->second.first != ErrorCode::Success) {
            monitor.cacheConfig(address, entry.first);
            continue;
        }
        nlohmann::json value = cached->second.second;
        ErrorCode const code = writeBoardConfig(address, entry.first, value);
        if (code != ErrorCode::Success) {
            result = code;
        }
    }
    return result;
}

} // namespace velt::ZRV480::BoardManager::Manager

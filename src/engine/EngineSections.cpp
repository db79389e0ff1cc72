#include "engine/Engine.h"

#include "bus/ErrorCode.h"
#include "bus/Parser.h"

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using nlohmann::json;

namespace {

std::string compact(json const& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

json Engine::getDeviceConfig() const {
    log(Log::Level::Debug, "boardConfigGet()");
    json device;
    state.with([&](EngineState const& s) { device = s.config.toJson(); });
    device["socket"] = parser.socketConfigGet();
    return device;
}

void Engine::setDeviceConfig(json const& device) {
    log(Log::Level::Debug, "setDeviceConfig(%s)", compact(device).c_str());
    if (device.is_object() && device.contains("socket")) {
        parser.socketConfigSet(device.at("socket"));
    }
    json settings = device;
    Bus::Parser::Config bus;
    bool const changed = state.with([&](EngineState& s) {
        json const known = s.config.toJson();
        // Anything but an object, null or an empty array fails here, before
        // anything is merged.
        for (auto it = settings.begin(); it != settings.end();) {
            it = known.contains(it.key()) ? std::next(it) : settings.erase(it);
        }
        if (settings.empty()) {
            return false;
        }
        s.config.fromJson(settings);
        bus = {static_cast<int64_t>(s.config.getUdpTimeoutMs()), s.config.getRetransmit()};
        return true;
    });
    if (!changed) {
        return;
    }
    parser.configSet(bus);
    requestMonitorRestart();
}

json Engine::getBoardsConfig() {
    log(Log::Level::Debug, "getBoardsConfig()");
    json result;
    for (auto const& [address, board] : boards) {
        json document;
        json answered;
        bool initialized = false;
        state.with([&, address = address](EngineState const& s) {
            document = s.config.getBoardConfig(address);
            auto const found = s.answeredBoardConfigs.find(address);
            answered = found == s.answeredBoardConfigs.end() ? json() : found->second;
            initialized = s.boardCaches.at(address).initialized;
        });
        for (auto const& [slot, slotConfig] : board.getConfigs()) {
            std::string const& option = slotConfig.name;
            if (document.is_object() && document.contains(option)) {
                continue; // a stored value wins
            }
            // An uninitialised board has no cached value.
            json value;
            ErrorCode const readResult =
                initialized ? boardConfigGet(address, slot, value) : ErrorCode::Timeout;
            if (readResult == ErrorCode::Success) {
                document[option] = value;
                continue;
            }
            if (initialized) {
                log(Log::Level::Warning, "Could not get config option '%s' from '%s': %s",
                    option.c_str(), board.getName().c_str(), ec2str(readResult).c_str());
            }
            if (answered.is_object() && answered.contains(option)) {
                document[option] = answered[option]; // the value last read stays in the file
            }
        }
        state.with(
            [&, address = address](EngineState& s) { s.answeredBoardConfigs[address] = document; });
        result[board.getName()] = document;
    }
    return result;
}

void Engine::setBoardsConfig(json const& boardsSection) {
    log(Log::Level::Debug, "setBoardsConfig(%s)", compact(boardsSection).c_str());
    if (!boardsSection.is_object()) {
        return;
    }
    for (auto const& [address, board] : boards) {
        std::string const& boardName = board.getName();
        auto const member = boardsSection.find(boardName);
        if (member == boardsSection.end()) {
            continue;
        }
        if (!member->is_object()) {
            log(Log::Level::Warning, "Could not set %s config: json field is not an object",
                boardName.c_str());
            continue;
        }
        bool const writable = readCache(state, address, [](BoardCache const& cache) {
            return cache.initialized && cache.firmwareOk;
        });
        json document = json::object();
        for (auto const& [slot, slotConfig] : board.getConfigs()) {
            auto const value = member->find(slotConfig.name);
            if (value == member->end()) {
                continue;
            }
            if (!writable) {
                // Checked against the board at its next initialisation.
                document[slotConfig.name] = *value;
                continue;
            }
            json echoed = *value;
            if (writeBoardConfig(address, slot, echoed) == ErrorCode::Success) {
                document[slotConfig.name] = echoed;
            } else {
                log(Log::Level::Error, "Config for %s on slot '%d' failed with value '%s'",
                    boardName.c_str(), slot, compact(*value).c_str());
            }
        }
        state.with([&, address = address](EngineState& s) {
            json const stored = s.config.getBoardConfig(address);
            if (document.empty()) {
                document = stored;
            } else if (stored.is_object()) {
                for (auto const& [key, storedValue] : stored.items()) {
                    document.emplace(key, storedValue); // keeps what was just written
                }
            }
            s.config.setBoardConfig(address, document);
        });
        log(Log::Level::Info, "Final %s config is %s", boardName.c_str(),
            compact(document).c_str());
    }
}

} // namespace velt::ZRV480::BoardManager::Manager

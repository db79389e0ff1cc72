#include "device/MqttAdaptor.h"

#include "bus/Board.h"
#include "bus/BoardInfo.h"
#include "bus/Helpers.h"
#include "bus/Statistics.h"
#include "engine/MonitorStatistics.h"
#include "engine/Status.h"
#include "foundation/String.h"

#include <string>

namespace velt::ZRV480::BoardManager::Manager {

MqttAdaptor::Getter MqttAdaptor::getManagerInfo() {
    return [this]() -> Result {
        json const socket = engine->getDeviceConfig().at("socket");
        std::string const path = String::format(
            "%s:%d", socket.at("address").get<std::string>().c_str(), socket.at("port").get<int>());

        json boards; // stays null without boards
        for (auto const& [address, board] : engine->getBoards()) {
            Engine::BoardInfo info;
            if (engine->boardInfoGet(address, info) == ErrorCode::Success) {
                boards[board.getName()] = boardInfoToJson(info);
            } else {
                boards[board.getName()] = nullptr;
            }
        }

        json const service = {{"type", "zrv480-boardman"},
                              {"version", Bus::Common::getProjectVersion()}};
        json const device = {
            {"manufacturer", "velt"}, {"path", path}, {"type", "udp"}, {"boards", boards}};
        return {true, {{"service", service}, {"device", device}}};
    };
}

MqttAdaptor::Getter MqttAdaptor::getManagerStatus() {
    return [this]() -> Result {
        return {true,
                {{"service", engine->getIsRunning()}, {"device", engine->getStatus().toJson()}}};
    };
}

MqttAdaptor::Getter MqttAdaptor::getManagerBusStatistics() {
    return [this]() -> Result { return {true, engine->getBusStatistics().toJson()}; };
}

MqttAdaptor::Getter MqttAdaptor::getManagerMonitorStatistics() {
    return [this]() -> Result { return {true, engine->getMonitorStatistics().toJson()}; };
}

} // namespace velt::ZRV480::BoardManager::Manager

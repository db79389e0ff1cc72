#include "device/MqttAdaptor.h"

#include "bus/Board.h"
#include "bus/BoardInfo.h"
#include "bus/BootloaderStatus.h"
#include "bus/Flags.h"
#include "bus/Schema.h"
#include "foundation/String.h"

#include <map>
#include <string>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

LambdaTree MqttAdaptor::boardToLambda(uint8_t address) {
    Bus::Board const& board = engine->getBoards().at(address);
    auto& telemetrySignals = engine->getTelemetrySignals(address);
    auto& statusSignals = engine->getStatusSignals(address);

    // Slots are visited in ascending order and a name inserted twice keeps
    // its first node, so the lower slot of two equally named ones is reachable.
    LambdaTree telemetry;
    for (auto const& [slot, entry] : board.getTelemetries()) {
        telemetry.insert(
            {entry.name, LambdaTree(boardTelemetryGet(address, slot), telemetrySignals.at(slot))});
    }

    // Slot 0 is published through "board"; a slot outside the mask has no value.
    LambdaTree status;
    uint64_t const mask = board.getStatusMask();
    for (auto const& [slot, name] : board.getStatuses()) {
        if (slot != 0 && ((mask >> (slot % 64)) & 1U) != 0) {
            status.insert(
                {name, LambdaTree(getBoardStatusSlot(address, slot), statusSignals.at(slot))});
        }
    }

    LambdaTree config;
    for (auto const& [slot, entry] : board.getConfigs()) {
        config.insert(
            {entry.name, LambdaTree(boardConfigGet(address, slot), boardConfigSet(address, slot))});
    }

    LambdaTree bootloader;
    bootloader.insert(
        {"flags", LambdaTree(boardBootloaderFlagsGet(address), boardBootloaderFlagsSet(address))});
    bootloader.insert({"status", LambdaTree(boardBootloaderStatus(address))});

    LambdaTree misc;
    misc.insert({"info", LambdaTree(boardInfo(address))});
    misc.insert({"uptime", LambdaTree(boardUptime(address))});
    misc.insert({"bootloader", bootloader});
    if (address == Bus::Schema::AddressMain) {
        insertMainBoardNodes(misc);
    }

    LambdaTree node;
    node.insert({"board", LambdaTree(boardStatus(address))});
    node.insert({"telemetry", telemetry});
    node.insert({"status", status});
    node.insert({"config", config});
    node.insert({"misc", misc});
    return node;
}

MqttAdaptor::Getter MqttAdaptor::slotValueGetter(SlotRead read, uint8_t address, uint8_t slot) {
    return [this, read, address, slot]() {
        json value;
        ErrorCode const code = (engine.get()->*read)(address, slot, value);
        return successOrCodeLT(code, value);
    };
}

MqttAdaptor::Getter MqttAdaptor::boardTelemetryGet(uint8_t address, uint8_t slot) {
    return slotValueGetter(&Engine::boardTelemetryGet, address, slot);
}

MqttAdaptor::Getter MqttAdaptor::getBoardStatusSlot(uint8_t address, uint8_t slot) {
    return [this, address, slot]() {
        std::pair<uint64_t, std::string> status;
        ErrorCode const code = engine->boardStatusSlotNGet(address, slot, status);
        return successOrCodeLT(code, {{"code", status.first}, {"message", status.second}});
    };
}

MqttAdaptor::Getter MqttAdaptor::boardConfigGet(uint8_t address, uint8_t slot) {
    return slotValueGetter(&Engine::boardConfigGet, address, slot);
}

MqttAdaptor::Setter MqttAdaptor::boardConfigSet(uint8_t address, uint8_t slot) {
    return [this, address, slot](json const& written) {
        json value = written; // the engine leaves the board's echo in it
        ErrorCode const code = engine->boardConfigSet(address, slot, value);
        return successOrCodeLT(code, value);
    };
}

MqttAdaptor::Getter MqttAdaptor::boardStatus(uint8_t address) {
    return [this, address]() -> Result {
        std::map<uint8_t, bool> statusBits;
        std::map<uint8_t, bool> errorBits;
        ErrorCode const code = engine->boardStatusSlot0Get(address, statusBits, errorBits);
        if (code != ErrorCode::Success) {
            return {false, codeToJson(code)};
        }
        // Every status is listed; a bit the engine did not fill reads false.
        auto const bit = [](std::map<uint8_t, bool> const& bits, uint8_t slot) {
            auto const found = bits.find(slot);
            return found != bits.end() && found->second;
        };
        json value = {{"status", json::object()}, {"errors", json::object()}};
        for (auto const& [slot, name] : engine->getBoards().at(address).getStatuses()) {
            value["status"][name] = bit(statusBits, slot);
            value["errors"][name] = bit(errorBits, slot);
        }
        return {true, value};
    };
}

MqttAdaptor::json MqttAdaptor::boardInfoToJson(Engine::BoardInfo const& info) {
    return {{"boardId", Bus::Board::idToStr(info.boardId)},
            {"boardName", String::toValidUtf8(info.boardName)},
            {"boardVersion", info.boardVersion},
            {"firmwareName", String::toValidUtf8(info.firmwareName)},
            {"firmwareVersion", info.firmwareVersion}};
}

MqttAdaptor::Getter MqttAdaptor::boardInfo(uint8_t address) {
    return [this, address]() {
        Engine::BoardInfo info;
        ErrorCode const code = engine->boardInfoGet(address, info);
        return successOrCodeLT(code, boardInfoToJson(info));
    };
}

MqttAdaptor::Getter MqttAdaptor::boardUptime(uint8_t address) {
    return [this, address]() {
        uint32_t uptime = 0;
        ErrorCode const code = engine->boardUptimeGet(address, uptime);
        return successOrCodeLT(code, uptime);
    };
}

MqttAdaptor::Getter MqttAdaptor::boardBootloaderFlagsGet(uint8_t address) {
    return [this, address]() {
        Engine::Flags flags;
        ErrorCode const code = engine->boardBootloaderFlagsGet(address, flags);
        return successOrCodeLT(code, flags.toJson());
    };
}

MqttAdaptor::Setter MqttAdaptor::boardBootloaderFlagsSet(uint8_t address) {
    return [this, address](json const& written) -> Result {
        if (!written.is_object()) {
            return {false, codeToJson(ErrorCode::MalformedRequest)};
        }
        Engine::Flags flags(written);
        ErrorCode const code = engine->boardBootloaderFlagsSet(address, flags);
        return successOrCodeLT(code, flags.toJson());
    };
}

MqttAdaptor::Getter MqttAdaptor::boardBootloaderStatus(uint8_t address) {
    return [this, address]() {
        Engine::BootloaderStatus status;
        ErrorCode const code = engine->boardBootloaderStatusGet(address, status);
        return successOrCodeLT(code, status.toJson());
    };
}

} // namespace velt::ZRV480::BoardManager::Manager

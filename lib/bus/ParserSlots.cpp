#include "bus/Parser.h"

#include "bus/Board.h"
#include "bus/Color.h"
#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "bus/Trace.h"
#include "bus/WireFormat.h"
#include "foundation/String.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using nlohmann::json;
using ValueObjects::Color;

namespace {

std::string slotTrace(char const* operation, std::string const& name, Packet const& request) {
    return String::format("%s(%s, %d, %d)", operation, name.c_str(),
                          static_cast<int>(request.getCommand()), request.getSlot());
}

Packet withPayload(Packet const& target, std::vector<uint8_t> const& payload) {
    return Packet(target.getAddress(), target.getCommand(), target.getSlot(), payload);
}

bool fitsInt32(double value) {
    return std::isfinite(value) && value >= std::numeric_limits<int32_t>::min() &&
           value <= std::numeric_limits<int32_t>::max();
}

// The JSON number as a signed 32-bit value, truncated toward zero; false when
// it does not fit. Anything but a number throws the JSON library's type error.
bool int32FromJson(json const& value, int32_t& number) {
    if (value.is_number_float()) {
        double truncated = std::trunc(value.get<double>());
        if (!fitsInt32(truncated)) {
            return false;
        }
        number = static_cast<int32_t>(truncated);
        return true;
    }
    if (value.is_number_unsigned()) {
        uint64_t unsignedNumber = value.get<uint64_t>();
        if (unsignedNumber > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            return false;
        }
        number = static_cast<int32_t>(unsignedNumber);
        return true;
    }
    int64_t signedNumber = value.get<int64_t>();
    if (signedNumber < std::numeric_limits<int32_t>::min() ||
        signedNumber > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    number = static_cast<int32_t>(signedNumber);
    return true;
}

Color colorFromBits(int32_t bits) {
    return Color{static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
                 static_cast<uint8_t>(bits)};
}

int32_t colorBits(Color const& colour) {
    return colour.r << 16 | colour.g << 8 | colour.b;
}

// The number the slot's enumeration gives `name`; none for a name it lacks.
std::optional<int32_t> enumIndex(Board const& board, uint8_t slot, std::string const& name) {
    for (auto const& [index, valueName] : board.getConfigEnumValues(slot)) {
        if (valueName == name) {
            return index;
        }
    }
    return std::nullopt;
}

// A Double's value as the raw number sent for it.
double scaled(double value, uint8_t multiplier) {
    return std::trunc(value * multiplier);
}

bool isColorMember(json const& value, char const* key) {
    if (!value.contains(key)) {
        return false;
    }
    json const& member = value.at(key);
    return member.is_number_unsigned() ||
           (member.is_number_integer() && member.get<int64_t>() >= 0);
}

} // namespace

ErrorCode Parser::int32Get(Packet const& request, int32_t& value) {
    std::string const& boardName = names.at(request.getAddress());
    Trace const trace([&boardName, &request] { return slotTrace("int32Get", boardName, request); });
    std::vector<uint8_t> payload;
    ErrorCode result = query(request, trace, 4, ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = int32At(payload, 0);
    // Bit 24 of a positive value is the transition flag of a light, not data.
    if (value > 0 && (value & Protocol::TransitionFlag)) {
        value &= ~Protocol::TransitionFlag;
    }
    log(Log::Level::Debug, "int32_t: %d [0x%08x]", value, static_cast<uint32_t>(value));
    return ErrorCode::Success;
}

ErrorCode Parser::doubleGet(Packet const& request, uint8_t multiplier, double& value) {
    std::string const& boardName = names.at(request.getAddress());
    Trace const trace(
        [&boardName, &request] { return slotTrace("doubleGet", boardName, request); });
    std::vector<uint8_t> payload;
    ErrorCode result = query(request, trace, 4, ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = static_cast<double>(int32At(payload, 0)) / multiplier;
    log(Log::Level::Debug, "double: %.4f", value);
    return ErrorCode::Success;
}

ErrorCode Parser::boolGet(Packet const& request, bool& value) {
    std::string const& boardName = names.at(request.getAddress());
    Trace const trace([&boardName, &request] { return slotTrace("boolGet", boardName, request); });
    std::vector<uint8_t> payload;
    ErrorCode result = query(request, trace, 1, ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = payload[0] != 0;
    log(Log::Level::Debug, "bool: %s", value ? "true" : "false");
    return ErrorCode::Success;
}

ErrorCode Parser::enumGet(Packet const& request, int32_t& value) {
    std::string const& boardName = names.at(request.getAddress());
    logTrace(Log::Level::Debug,
             Trace([&boardName, &request] { return slotTrace("enumGet", boardName, request); }));
    ErrorCode result = int32Get(request, value);
    if (result == ErrorCode::Success) {
        log(Log::Level::Debug, "enum: %d", value);
    }
    return result;
}

ErrorCode Parser::int32Set(Packet const& target, int32_t& value) {
    std::vector<uint8_t> request;
    uint32Append(request, static_cast<uint32_t>(value));
    std::string const& boardName = names.at(target.getAddress());
    int32_t const given = value;
    Trace const trace([&boardName, &target, given] {
        return String::format("int32Set(%s, %d, %d)", boardName.c_str(), target.getSlot(), given);
    });
    std::vector<uint8_t> echo;
    ErrorCode result = query(withPayload(target, request), trace, 4, ShortReply::Warned, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = int32At(echo, 0);
    log(Log::Level::Debug, "int32_t: %d [0x%08x]", value, static_cast<uint32_t>(value));
    return ErrorCode::Success;
}

ErrorCode Parser::doubleSet(Packet const& target, uint8_t multiplier, double& value) {
    std::string const& boardName = names.at(target.getAddress());
    Trace const trace([&boardName, &target] { return slotTrace("doubleSet", boardName, target); });
    double raw = scaled(value, multiplier);
    if (!fitsInt32(raw)) {
        logTrace(Log::Level::Debug, trace);
        log(Log::Level::Warning, "%s : %g (multiplier=%d) does not fit the slot", trace.c_str(),
            value, multiplier);
        return ErrorCode::InvalidParameter;
    }
    std::vector<uint8_t> request;
    uint32Append(request, static_cast<uint32_t>(static_cast<int32_t>(raw)));
    std::vector<uint8_t> echo;
    ErrorCode result = query(withPayload(target, request), trace, 4, ShortReply::Warned, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = static_cast<double>(int32At(echo, 0)) / multiplier;
    log(Log::Level::Debug, "double: %.4f", value);
    return ErrorCode::Success;
}

ErrorCode Parser::boolSet(Packet const& target, bool& value) {
    std::string const& boardName = names.at(target.getAddress());
    bool const given = value;
    Trace const trace([&boardName, &target, given] {
        return String::format("boolSet(%s, %d, %d)", boardName.c_str(), target.getSlot(),
                              given ? 1 : 0);
    });
    std::vector<uint8_t> echo;
    ErrorCode result = query(withPayload(target, {value ? uint8_t{1} : uint8_t{0}, 0, 0, 0}), trace,
                             1, ShortReply::Warned, echo);
    if (result != ErrorCode::Success) {
        return result;
    }
    value = echo[0] != 0;
    log(Log::Level::Debug, "bool: %s", value ? "true" : "false");
    return ErrorCode::Success;
}

ErrorCode Parser::enumSet(Packet const& target, int32_t index) {
    std::string const& boardName = names.at(target.getAddress());
    Trace const trace([&boardName, &target] { return slotTrace("enumSet", boardName, target); });
    std::vector<uint8_t> request;
    uint32Append(request, static_cast<uint32_t>(index));
    std::vector<uint8_t> echo;
    return query(withPayload(target, request), trace, 0, ShortReply::Quiet, echo);
}

ErrorCode Parser::lightTransitionColor(uint8_t address, uint8_t slot, Color& colour) {
    int32_t value = colorBits(colour) | Protocol::TransitionFlag;
    ErrorCode result = int32Set(Packet(address, Packet::Command::ConfigSet, slot, {}), value);
    colour = colorFromBits(value);
    return result;
}

ErrorCode Parser::lightTransitionValue(uint8_t address, uint8_t slot, uint8_t& value) {
    int32_t written = value | Protocol::TransitionFlag;
    ErrorCode result = int32Set(Packet(address, Packet::Command::ConfigSet, slot, {}), written);
    value = static_cast<uint8_t>(written);
    return result;
}

ErrorCode Parser::slot0StatusGet(Packet const& request, std::bitset<32>& status,
                                 std::bitset<32>& errors) {
    std::string const& boardName = names.at(request.getAddress());
    Trace const trace(
        [&boardName, &request] { return slotTrace("slot0StatusGet", boardName, request); });
    if (request.getSlot() != 0) {
        logTrace(Log::Level::Debug, trace);
        log(Log::Level::Warning, "This function can't handle status(n) type of messages");
        return ErrorCode::MalformedRequest;
    }
    std::vector<uint8_t> payload;
    ErrorCode result = query(request, trace, 8, ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    status = uint32At(payload, 0);
    errors = uint32At(payload, 4);
    log(Log::Level::Debug, "status: %lu errors: %lu", status.to_ulong(), errors.to_ulong());
    return ErrorCode::Success;
}

ErrorCode Parser::slotNStatusGet(Packet const& request, std::pair<uint8_t, std::string>& status) {
    std::string const& boardName = names.at(request.getAddress());
    Trace const trace(
        [&boardName, &request] { return slotTrace("slotNStatusGet", boardName, request); });
    if (request.getSlot() == 0) {
        logTrace(Log::Level::Debug, trace);
        log(Log::Level::Warning, "This function can't handle status(0) type of messages");
        return ErrorCode::MalformedRequest;
    }
    std::vector<uint8_t> payload;
    ErrorCode result = query(request, trace, 4, ShortReply::Warned, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    int32_t code = int32At(payload, 0);
    auto textBegin = payload.begin() + 4;
    // A board's text need not be valid UTF-8, and it ends up in JSON.
    std::string const message =
        String::toValidUtf8(std::string(textBegin, std::find(textBegin, payload.end(), 0)));
    status = {static_cast<uint8_t>(code), message};
    log(Log::Level::Debug, "code: %d message: %s", code, message.c_str());
    return ErrorCode::Success;
}

ErrorCode Parser::boardConfigSet(uint8_t address, uint8_t slot, SlotType type, json& value,
                                 Board const& board) {
    std::string boardName = names.at(address);
    // The value's text costs as much as its size: only for a line that is written.
    if (Log::isEnabled(Log::Level::Debug)) {
        log(Log::Level::Debug, "boardConfigSet(%s, %d, %s)", boardName.c_str(), slot,
            String::clip(value.dump()).c_str());
    }
    auto slotConfig = board.getConfigs().find(slot);
    if (slotConfig == board.getConfigs().end()) {
        return ErrorCode::BusInvalidSlot;
    }
    Packet target(address, Packet::Command::ConfigSet, slot, {});
    switch (type) {
    case SlotType::Int32: {
        int32_t number = 0;
        if (!int32FromJson(value, number)) {
            log(Log::Level::Warning, "%s slot %d: %s does not fit 32 bits", boardName.c_str(), slot,
                String::clip(value.dump()).c_str());
            return ErrorCode::InvalidParameter;
        }
        ErrorCode result = int32Set(target, number);
        value = number;
        return result;
    }
    case SlotType::Bool: {
        bool flag = value.get<bool>();
        ErrorCode result = boolSet(target, flag);
        value = flag;
        return result;
    }
    case SlotType::Double: {
        double number = value.get<double>();
        ErrorCode result = doubleSet(target, slotConfig->second.multiplier, number);
        value = number;
        return result;
    }
    case SlotType::Enum: {
        std::string text = value.get<std::string>();
        if (auto const index = enumIndex(board, slot, text)) {
            return enumSet(target, *index);
        }
        log(Log::Level::Warning, "Could not find '%s' in the accepted values for slot '%d'",
            String::clip(text).c_str(), slot);
        return ErrorCode::BusInvalidValue;
    }
    case SlotType::Color: {
        // Each channel keeps its low 8 bits.
        int32_t bits = colorBits(Color{value.at("r").get<uint8_t>(), value.at("g").get<uint8_t>(),
                                       value.at("b").get<uint8_t>()});
        ErrorCode result = int32Set(target, bits);
        value = colorFromBits(bits).toJson();
        return result;
    }
    }
    log(Log::Level::Warning, "%s slot %d: unknown slot type %d", boardName.c_str(), slot,
        static_cast<int>(type));
    return ErrorCode::InvalidParameter;
}

ErrorCode Parser::configValueMatchesType(SlotType type, json const& value) {
    bool fits = true;
    switch (type) {
    case SlotType::Int32:
        fits = value.is_number_integer();
        break;
    case SlotType::Bool:
        fits = value.is_boolean();
        break;
    case SlotType::Double:
        fits = value.is_number();
        break;
    case SlotType::Enum:
        fits = value.is_string();
        break;
    case SlotType::Color:
        fits = value.is_object() && isColorMember(value, "r") && isColorMember(value, "g") &&
               isColorMember(value, "b");
        break;
    }
    return fits ? ErrorCode::Success : ErrorCode::InvalidParameter;
}

ErrorCode Parser::configValueFits(Board const& board, uint8_t slot, json const& value) {
    auto const found = board.getConfigs().find(slot);
    if (found == board.getConfigs().end()) {
        return ErrorCode::BusInvalidSlot;
    }
    Board::Config const& config = found->second;
    ErrorCode const kind = configValueMatchesType(config.type, value);
    if (kind != ErrorCode::Success) {
        return kind;
    }
    int32_t number = 0;
    switch (config.type) {
    case SlotType::Int32:
        return int32FromJson(value, number) ? ErrorCode::Success : ErrorCode::InvalidParameter;
    case SlotType::Double:
        return fitsInt32(scaled(value.get<double>(), config.multiplier))
                   ? ErrorCode::Success
                   : ErrorCode::InvalidParameter;
    case SlotType::Enum:
        return enumIndex(board, slot, value.get<std::string>()) ? ErrorCode::Success
                                                                : ErrorCode::BusInvalidValue;
    case SlotType::Bool:
    case SlotType::Color:
        break;
    }
    return ErrorCode::Success;
}

} // namespace velt::ZRV480::Bus

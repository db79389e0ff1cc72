#include "device/MqttAdaptor.h"

#include "device/AddressText.h"
#include "device/RequestPayload.h"

#include "bus/BusReport.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "foundation/String.h"
#include <variant>

namespace velt::ZRV480::BoardManager::Manager {

namespace {

using AddressText::ipv4ToText;

// The clock is a signed 32-bit count of seconds and the port 16-bit: a larger
// number is refused rather than cut to its low bits.
constexpr uint64_t TimestampMax = std::numeric_limits<int32_t>::max();
constexpr uint64_t PortMax = std::numeric_limits<uint16_t>::max();

} // namespace

void MqttAdaptor::insertMainBoardNodes(LambdaTree& misc) {
    LambdaTree network;
    network.insert({"status", LambdaTree(mainNetworkStatusGet())});
    network.insert(
        {"server", LambdaTree(mainNetworkBoardServerGet(), mainNetworkBoardServerSet())});
    network.insert({"dhcp", LambdaTree(mainNetworkDhcpGet(), mainNetworkDhcpSet())});
    network.insert({"ip", LambdaTree(mainNetworkIpGet(), mainNetworkIpSet())});
    network.insert({"dns", LambdaTree(mainNetworkDnsGet(), mainNetworkDnsSet())});

    misc.insert({"timestamp", LambdaTree(mainTimestampGet(), mainTimestampSet())});
    misc.insert({"busStatistics", LambdaTree(mainBusStatisticsGet())});
    misc.insert({"network", network});
}

std::optional<Engine::Ip> MqttAdaptor::parseAddressMember(json const& request, char const* field,
                                                          char const* label) const {
    std::string const text = request.at(field).get<std::string>();
    auto const parsed = AddressText::parseIpv4(text);
    if (auto const* address = std::get_if<AddressText::Ipv4>(&parsed)) {
        return *address;
    }
    if (std::get<AddressText::Ipv4Error>(parsed) == AddressText::Ipv4Error::NotNumeric) {
        log(Log::Level::Warning, "%s part is not numeric", label);
    } else {
        log(Log::Level::Warning, "%s is not four dot-separated numbers from 0 to 255: '%s'", label,
            text.c_str());
    }
    return std::nullopt;
}

bool MqttAdaptor::hasStringMembers(json const& request,
                                   std::initializer_list<char const*> fields) const {
    for (char const* field : fields) {
        auto const member = request.find(field);
        if (member == request.end() || !member->is_string()) {
            log(Log::Level::Warning, "Request field missing or is of wrong type");
            return false;
        }
    }
    return true;
}

MqttAdaptor::Getter MqttAdaptor::mainTimestampGet() {
    return [this]() {
        int32_t timestamp = 0;
        ErrorCode const code = engine->mainTimestampGet(timestamp);
        return successOrCodeLT(code, timestamp);
    };
}

MqttAdaptor::Setter MqttAdaptor::mainTimestampSet() {
    return [this](json const& written) -> Result {
        if (!RequestPayload::isUnsigned(written, TimestampMax)) {
            return {false, codeToJson(ErrorCode::MalformedRequest)};
        }
        auto timestamp = static_cast<int32_t>(written.get<uint64_t>());
        ErrorCode const code = engine->mainTimestampSet(timestamp);
        return successOrCodeLT(code, timestamp);
    };
}

MqttAdaptor::Getter MqttAdaptor::mainBusStatisticsGet() {
    return [this]() {
        Bus::BusReport report;
        ErrorCode const code = engine->mainBusStatisticsGet(report);
        return successOrCodeLT(code, {{"connected", report.connected},
                                      {"quality", report.quality},
                                      {"rx", report.rx},
                                      {"total", report.total},
                                      {"tx", report.tx}});
    };
}

MqttAdaptor::Getter MqttAdaptor::mainNetworkStatusGet() {
    return [this]() {
        bool link = false;
        Engine::Mac mac{};
        Engine::Ip ip{};
        ErrorCode const code = engine->mainNetworkStatusGet(link, mac, ip);
        return successOrCodeLT(
            code, {{"ip", ipv4ToText(ip)}, {"link", link}, {"mac", AddressText::macToText(mac)}});
    };
}

MqttAdaptor::Getter MqttAdaptor::mainNetworkBoardServerGet() {
    return [this]() {
        uint16_t port = 0;
        ErrorCode const code = engine->mainNetworkBoardServerGet(port);
        return successOrCodeLT(code, {{"port", port}});
    };
}

MqttAdaptor::Setter MqttAdaptor::mainNetworkBoardServerSet() {
    return [this](json const& written) -> Result {
        // Written as a bare number, read back as {"port": n}.
        if (!RequestPayload::isUnsigned(written, PortMax)) {
            return {false, codeToJson(ErrorCode::MalformedRequest)};
        }
        auto port = written.get<uint16_t>();
        ErrorCode const code = engine->mainNetworkBoardServerSet(port);
        return successOrCodeLT(code, {{"port", port}});
    };
}

MqttAdaptor::Getter MqttAdaptor::mainNetworkDhcpGet() {
    return [this]() {
        bool dhcp = false;
        ErrorCode const code = engine->mainNetworkDhcpGet(dhcp);
        return successOrCodeLT(code, dhcp);
    };
}

MqttAdaptor::Setter MqttAdaptor::mainNetworkDhcpSet() {
    return [this](json const& written) -> Result {
        if (!written.is_boolean()) {
            return {false, codeToJson(ErrorCode::MalformedRequest)};
        }
        bool dhcp = written.get<bool>();
        ErrorCode const code = engine->mainNetworkDhcpSet(dhcp);
        return successOrCodeLT(code, dhcp);
    };
}

MqttAdaptor::Getter MqttAdaptor::mainNetworkIpGet() {
    return [this]() {
        Engine::Ip ip{};
        Engine::Ip subnet{};
        Engine::Ip gateway{};
        ErrorCode const code = engine->mainNetworkIpGet(ip, subnet, gateway);
        return successOrCodeLT(code, {{"gateway", ipv4ToText(gateway)},
                                      {"ip", ipv4ToText(ip)},
                                      {"subnet", ipv4ToText(subnet)}});
    };
}

MqttAdaptor::Setter MqttAdaptor::mainNetworkIpSet() {
    return [this](json const& written) -> Result {
        log(Log::Level::Info, "Called with %s", String::clip(written.dump()).c_str());
        Result refused = {false, codeToJson(ErrorCode::MalformedRequest)};
        if (!written.is_object() || !hasStringMembers(written, {"ip", "subnet", "gateway"})) {
            return refused;
        }
        // Each address is checked before the next, so only the first bad one is logged.
        auto ip = parseAddressMember(written, "ip", "Ip");
        if (!ip) {
            return refused;
        }
        auto subnet = parseAddressMember(written, "subnet", "subnet");
        if (!subnet) {
            return refused;
        }
        auto gateway = parseAddressMember(written, "gateway", "gateway");
        if (!gateway) {
            return refused;
        }
        ErrorCode const code = engine->mainNetworkIpSet(*ip, *subnet, *gateway);
        return successOrCodeLT(code, {{"gateway", ipv4ToText(*gateway)},
                                      {"ip", ipv4ToText(*ip)},
                                      {"subnet", ipv4ToText(*subnet)}});
    };
}

MqttAdaptor::Getter MqttAdaptor::mainNetworkDnsGet() {
    return [this]() {
        Engine::Ip dns{};
        ErrorCode const code = engine->mainNetworkDnsGet(dns);
        return successOrCodeLT(code, {{"ip", ipv4ToText(dns)}});
    };
}

MqttAdaptor::Setter MqttAdaptor::mainNetworkDnsSet() {
    return [this](json const& written) -> Result {
        Result refused = {false, codeToJson(ErrorCode::MalformedRequest)};
        if (!written.is_object() || !hasStringMembers(written, {"ip"})) {
            return refused;
        }
        auto dns = parseAddressMember(written, "ip", "Ip");
        if (!dns) {
            return refused;
        }
        ErrorCode const code = engine->mainNetworkDnsSet(*dns);
        return successOrCodeLT(code, {{"ip", ipv4ToText(*dns)}});
    };
}

} // namespace velt::ZRV480::BoardManager::Manager

#include "config/SettingLimit.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace velt::ZRV480::BoardManager::Config {

using nlohmann::json;

namespace {

bool isInteger(json const& value, int64_t min, int64_t max) {
    if (value.is_number_unsigned()) { // beyond int64_t; every max is positive
        uint64_t const number = value.get<uint64_t>();
        return number <= uint64_t(max) && (min <= 0 || number >= uint64_t(min));
    }
    return value.is_number_integer() && value.get<int64_t>() >= min && value.get<int64_t>() <= max;
}

bool isText(json const& value, int64_t min, int64_t max) {
    if (!value.is_string()) {
        return false;
    }
    std::string const& text = value.get_ref<std::string const&>();
    return int64_t(text.size()) >= min && int64_t(text.size()) <= max &&
           text.find('\0') == std::string::npos;
}

bool isAddress(json const& value) {
    in_addr parsed{};
    return value.is_string() &&
           inet_pton(AF_INET, value.get_ref<std::string const&>().c_str(), &parsed) == 1;
}

bool isPort(std::string const& text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }) &&
           std::stoul(text) >= 1 && std::stoul(text) <= 65535;
}

bool isBrokerUrl(json const& value, int64_t max) {
    if (!isText(value, 1, max)) {
        return false;
    }
    std::string address = value.get<std::string>();
    for (char const* scheme : {"tcp://", "mqtt://"}) {
        if (address.rfind(scheme, 0) == 0) {
            address.erase(0, std::string(scheme).size());
        }
    }
    auto const colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string const host = address.substr(0, colon);
    bool const plainHost = std::none_of(host.begin(), host.end(), [](unsigned char c) {
        return c == '/' || std::isspace(c) || std::iscntrl(c);
    });
    return plainHost && isPort(address.substr(colon + 1));
}

bool isTopic(json const& value, int64_t min, int64_t max) {
    if (!isText(value, min, max)) {
        return false;
    }
    std::string const& topic = value.get_ref<std::string const&>();
    bool const wildcards = topic.find_first_of("+#") != std::string::npos;
    // Empty is no base at all: the topics then start with their own level.
    bool const emptyLevel = !topic.empty() && (topic.front() == '/' || topic.back() == '/' ||
                                               topic.find("//") != std::string::npos);
    return !wildcards && !emptyLevel;
}

} // namespace

std::string SettingLimit::type() const {
    switch (kind) {
    case Kind::Integer:
        return "integer";
    case Kind::Boolean:
        return "boolean";
    default:
        return "text";
    }
}

std::string SettingLimit::allowed() const {
    std::string const from = std::to_string(min);
    std::string const to = std::to_string(max);
    switch (kind) {
    case Kind::Integer:
        return "an integer from " + from + " to " + to;
    case Kind::Boolean:
        return "true or false";
    case Kind::Text:
        return "a text of " + from + " to " + to + " bytes";
    case Kind::Address:
        return "an IPv4 address in dotted decimal";
    case Kind::BrokerUrl:
        return "host:port with a port from 1 to 65535, maybe after tcp:// or mqtt://, at most " +
               to + " bytes";
    case Kind::Topic:
        return "a topic of " + from + " to " + to + " bytes without '+', '#' or an empty level";
    }
    return "";
}

bool SettingLimit::accepts(json const& value) const {
    switch (kind) {
    case Kind::Integer:
        return isInteger(value, min, max);
    case Kind::Boolean:
        return value.is_boolean();
    case Kind::Text:
        return isText(value, min, max);
    case Kind::Address:
        return isAddress(value);
    case Kind::BrokerUrl:
        return isBrokerUrl(value, max);
    case Kind::Topic:
        return isTopic(value, min, max);
    }
    return false;
}

} // namespace velt::ZRV480::BoardManager::Config

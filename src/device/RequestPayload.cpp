#include "device/RequestPayload.h"

namespace velt::ZRV480::BoardManager::Manager::RequestPayload {

using Bus::Common::ErrorCode;

std::variant<nlohmann::json, ErrorCode> object(std::string const& payload) {
    auto document = nlohmann::json::parse(payload, nullptr, false);
    if (document.is_discarded()) {
        return ErrorCode::MalformedJson;
    }
    if (!document.is_object()) {
        return ErrorCode::MalformedRequest;
    }
    return document;
}

std::variant<std::vector<std::string>, ErrorCode> strings(std::string const& payload,
                                                          std::vector<char const*> const& keys) {
    auto document = object(payload);
    if (auto const* code = std::get_if<ErrorCode>(&document)) {
        return *code;
    }
    auto const& members = std::get<nlohmann::json>(document);
    std::vector<std::string> values;
    for (auto const* key : keys) {
        auto const member = members.find(key);
        if (member == members.end() || !member->is_string()) {
            return ErrorCode::MalformedRequest;
        }
        values.push_back(member->get<std::string>());
    }
    return values;
}

bool isUnsigned(nlohmann::json const& value, uint64_t max) {
    // The parser keeps a non-negative integer text as unsigned; a sign, a
    // fraction or an exponent makes it another kind of number.
    return value.is_number_unsigned() && value.get<uint64_t>() <= max;
}

} // namespace velt::ZRV480::BoardManager::Manager::RequestPayload

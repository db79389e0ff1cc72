#include "engine/Firmwares.h"

#include "foundation/AtomicFile.h"
#include "foundation/Utils.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace velt::ZRV480::BoardManager::Manager {

Firmwares::Firmwares(std::map<uint8_t, std::string> names)
    : Logger("Firmwares"), boardNames(std::move(names)) {}

Firmwares::~Firmwares() = default;

bool Firmwares::contains(uint8_t address) const {
    return reports.count(address) != 0;
}

Firmwares::iterator Firmwares::find(uint8_t address) {
    return reports.find(address);
}

Firmwares::const_iterator Firmwares::find(uint8_t address) const {
    return reports.find(address);
}

Firmwares::iterator Firmwares::begin() {
    return reports.begin();
}

Firmwares::iterator Firmwares::end() {
    return reports.end();
}

Firmwares::const_iterator Firmwares::begin() const {
    return reports.begin();
}

Firmwares::const_iterator Firmwares::end() const {
    return reports.end();
}

size_t Firmwares::size() const {
    return reports.size();
}

Firmwares::Firmware& Firmwares::operator[](uint8_t address) {
    return reports[address];
}

std::pair<Firmwares::iterator, bool>
Firmwares::insert(std::pair<uint8_t const, Firmware> const& report) {
    return reports.insert(report);
}

Firmwares::iterator Firmwares::insert(const_iterator hint,
                                      std::pair<uint8_t const, Firmware> const& report) {
    return reports.insert(hint, report);
}

Firmwares::iterator Firmwares::erase(const_iterator position) {
    return reports.erase(position);
}

Firmwares::iterator Firmwares::erase(const_iterator first, const_iterator last) {
    return reports.erase(first, last);
}

void Firmwares::clear() {
    reports.clear();
}

size_t Firmwares::erase(uint8_t address) {
    log(Log::Level::Info, "Erasing %s", boardNames.at(address).c_str());
    return reports.erase(address);
}

bool Firmwares::rebootRequired() const {
    for (auto const& entry : reports) {
        if (entry.second.state == State::pendingReboot) {
            return true;
        }
    }
    return false;
}

std::string Firmwares::stateToStr(State state) {
    switch (state) {
    case State::pendingInstallation:
        return "pendingInstallation";
    case State::installing:
        return "installing";
    case State::pendingReboot:
        return "pendingReboot";
    case State::failed:
        return "failed";
    }
    return "";
}

nlohmann::json Firmwares::toJson() const {
    nlohmann::json result = nlohmann::json::object();
    for (auto const& [address, report] : reports) {
        std::string const key = address == AddressService ? "service" : boardNames.at(address);
        result[key] = {{"state", stateToStr(report.state)}, {"version", report.version}};
    }
    return result;
}

void Firmwares::parse(nlohmann::json const& document) {
    for (auto const& [key, value] : document.items()) {
        std::optional<uint8_t> address;
        for (auto const& [candidate, boardName] : boardNames) {
            if (boardName == key) {
                address = candidate;
                break;
            }
        }
        if (!address && key == "service") {
            address = AddressService;
        }
        if (!address) {
            log(Log::Level::Warning, "Board name '%s' not recognized", key.c_str());
            continue;
        }
        parseBoard(*address, value);
    }
}

void Firmwares::parseBoard(uint8_t address, nlohmann::json const& value) {
    if (!value.is_object() || !value.contains("state") || !value["state"].is_string()) {
        log(Log::Level::Warning, "Could not parse board, state value must be string");
        return;
    }
    if (!value.contains("version") || !value["version"].is_number_unsigned()) {
        log(Log::Level::Warning, "Could not parse board, version value must be unsigned");
        return;
    }
    std::string const text = value["state"].get<std::string>();
    for (State state :
         {State::pendingInstallation, State::installing, State::pendingReboot, State::failed}) {
        if (stateToStr(state) == text) {
            reports[address] = {state, static_cast<uint8_t>(value["version"].get<uint64_t>())};
            return;
        }
    }
    log(Log::Level::Warning, "State value not recognized '%s'", text.c_str());
}

bool Firmwares::save() const {
    if (filePath.empty()) {
        return false;
    }
    log(Log::Level::Info, "Writing '%s'", filePath.c_str());
    if (!AtomicFile::write(
            filePath, toJson().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) {
        log(Log::Level::Error, "Could not write file '%s': %s", filePath.c_str(),
            std::strerror(errno));
        return false;
    }
    return true;
}

bool Firmwares::load(std::string const& path) {
    filePath = path;
    if (!Utils::fileExists(path)) {
        log(Log::Level::Warning, "Could not open '%s'", path.c_str());
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    nlohmann::json const document = nlohmann::json::parse(text.str(), nullptr, false);
    if (document.is_discarded()) {
        log(Log::Level::Warning, "Could not parse '%s'", path.c_str());
        return false;
    }
    if (!document.is_object()) {
        log(Log::Level::Warning, "Could not parse '%s': not a json object", path.c_str());
        return false;
    }
    parse(document);
    log(Log::Level::Info, "Parsed %zu firmware reports", reports.size());
    return true;
}

} // namespace velt::ZRV480::BoardManager::Manager

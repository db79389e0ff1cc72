#include "config/SettingLimits.h"

#include "bus/Config.h"
#include "foundation/Secrets.h"

#include <optional>
#include <stdexcept>
#include <string>

namespace velt::ZRV480::BoardManager::Config {

using nlohmann::json;
using Kind = SettingLimit::Kind;

namespace {

char const* const RestartsMonitoring = "restarts the monitoring thread";
char const* const ReopensSocket = "reopens the bus socket";
char const* const Reconnects = "reconnects the MQTT client";

// The objects that hold settings. Only the transport refuses a member it
// does not know; the others ignore it, as they always did.
struct Section {
    char const* path;
    bool closed;
};
Section const Sections[] = {
    {"device", false}, {"device/socket", true}, {"mqtt", false}, {"mqtt/log", false}};

// A write is held to every rule; a file read at start may also hold what the
// service itself writes.
enum class Reading { Write, File };

// What is wrong at a place of the document, and what a file read at start
// holds there instead (nothing: the member is left out).
struct Fault {
    json::json_pointer where;
    std::string reason;
    std::optional<json> replacement;
};

json::json_pointer pointerTo(std::string const& path) {
    json::json_pointer pointer;
    for (size_t from = 0; from <= path.size();) {
        size_t const slash = std::min(path.find('/', from), path.size());
        pointer /= path.substr(from, slash - from);
        from = slash + 1;
    }
    return pointer;
}

SettingLimit const* limitAt(std::string const& path) {
    for (auto const& limit : SettingLimits::all()) {
        if (limit.path == path) {
            return &limit;
        }
    }
    return nullptr;
}

bool isSection(std::string const& path) {
    for (auto const& section : Sections) {
        if (path == section.path) {
            return true;
        }
    }
    return false;
}

// A 16 MB value is not repeated whole in a reply or a log line. The cut
// falls between two characters, so that the text stays valid UTF-8.
std::string shown(json const& value) {
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    size_t cut = 64;
    if (text.size() <= cut) {
        return text;
    }
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut) + "...";
}

void collectMembers(Section const& section, json const& members, std::vector<Fault>& faults) {
    json::json_pointer const where = pointerTo(section.path);
    for (auto const& [name, value] : members.items()) {
        std::string const path = std::string(section.path) + "/" + name;
        if (isSection(path)) {
            continue;
        }
        // A name holding '/' would reach into the settings below a member.
        SettingLimit const* limit = name.find('/') == std::string::npos ? limitAt(path) : nullptr;
        if (limit && !limit->accepts(value)) {
            std::string reason = "setting \"" + path + "\" must be " + limit->allowed() + ", got ";
            reason += limit->secret ? Secrets::described(value) : shown(value);
            faults.push_back({where / name, reason, limit->defaultValue});
        } else if (!limit && (section.closed || name.find('/') != std::string::npos)) {
            faults.push_back({where / name, "setting \"" + path + "\" is unknown", std::nullopt});
        }
    }
}

Fault notAnObject(json::json_pointer const& where, std::string const& path, json const& value) {
    // Only the kind: a section may hold a secret wherever it was put.
    return {where, "section \"" + path + "\" must be an object, got " + Secrets::described(value),
            std::nullopt};
}

// One object per board, by name. The service writes null for a board it has
// no values for, so a file may hold that.
void collectBoards(json const& boards, Reading reading, std::vector<Fault>& faults) {
    json::json_pointer const where = pointerTo("boards");
    if (!boards.is_object()) {
        faults.push_back(notAnObject(where, "boards", boards));
        return;
    }
    for (auto const& [name, document] : boards.items()) {
        if (!document.is_object() && !(reading == Reading::File && document.is_null())) {
            faults.push_back(notAnObject(where / name, "boards/" + name, document));
        }
    }
}

std::vector<Fault> faultsOf(json const& document, Reading reading) {
    std::vector<Fault> faults;
    if (!document.is_object()) {
        return faults;
    }
    for (auto const& section : Sections) {
        json::json_pointer const where = pointerTo(section.path);
        if (!document.contains(where)) {
            continue; // absent, or below a section that is no object
        }
        json const& members = document.at(where);
        if (members.is_object()) {
            collectMembers(section, members, faults);
        } else {
            faults.push_back(notAnObject(where, section.path, members));
        }
    }
    if (document.contains("boards")) {
        collectBoards(document.at("boards"), reading, faults);
    }
    return faults;
}

} // namespace

std::vector<SettingLimit> const& SettingLimits::all() {
    static std::vector<SettingLimit> const limits = {
        {"device/statusPeriod", Kind::Integer, 10, 3600000, 5000, RestartsMonitoring},
        {"device/timeoutMs", Kind::Integer, 10, 10000, 500, RestartsMonitoring},
        {"device/retransmissions", Kind::Integer, 0, 10, 2, RestartsMonitoring},
        {"device/cacheBatchSize", Kind::Integer, 1, 256, 20, RestartsMonitoring},
        {"device/socket/address", Kind::Address, 0, 0, "10.10.10.4", ReopensSocket},
        {"device/socket/port", Kind::Integer, Bus::Config::PortMin, Bus::Config::PortMax, 10000,
         ReopensSocket},
        {"device/socket/timeoutMs", Kind::Integer, Bus::Config::TimeoutMin, Bus::Config::TimeoutMax,
         100, ReopensSocket},
        {"mqtt/url", Kind::BrokerUrl, 1, 256, "127.0.0.1:1883", Reconnects},
        {"mqtt/username", Kind::Text, 0, 256, "", Reconnects},
        {"mqtt/password", Kind::Text, 0, 65535, "", Reconnects, true},
        {"mqtt/clientId", Kind::Text, 0, 128, "", Reconnects},
        {"mqtt/base", Kind::Topic, 0, 256, "velt/zrv/boardman", Reconnects},
        {"mqtt/keepAliveSec", Kind::Integer, 1, 3600, 20, Reconnects},
        {"mqtt/log/payload", Kind::Boolean, 0, 1, false, Reconnects},
        {"mqtt/log/published", Kind::Boolean, 0, 1, false, Reconnects},
        {"mqtt/log/received", Kind::Boolean, 0, 1, false, Reconnects},
        {"mqtt/log/subscriptions", Kind::Boolean, 0, 1, false, Reconnects},
    };
    return limits;
}

void SettingLimits::check(json const& document) {
    if (!document.is_object()) {
        throw std::invalid_argument("the configuration must be a JSON object of sections, got " +
                                    Secrets::described(document));
    }
    std::string reasons;
    for (auto const& fault : faultsOf(document, Reading::Write)) {
        reasons += (reasons.empty() ? "" : "; ") + fault.reason;
    }
    if (!reasons.empty()) {
        throw std::invalid_argument(reasons);
    }
}

json SettingLimits::withDefaults(json const& document, Logger const& logger) {
    json result = document;
    for (auto const& fault : faultsOf(document, Reading::File)) {
        if (fault.replacement) {
            result[fault.where] = *fault.replacement;
            logger.log(Log::Level::Error, "Config file: %s; using the default %s",
                       fault.reason.c_str(), fault.replacement->dump().c_str());
        } else {
            result[fault.where.parent_pointer()].erase(fault.where.back());
            logger.log(Log::Level::Error, "Config file: %s; left out", fault.reason.c_str());
        }
    }
    return result;
}

} // namespace velt::ZRV480::BoardManager::Config

#include "Scenario.h"

#include "Base64.h"

#include <climits>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>

namespace boardsim {

using nlohmann::json;

namespace {

constexpr int AddressConsole = 200;

[[noreturn]] void fail(std::string const& where, std::string const& what) {
    throw ScenarioError(where + ": " + what);
}

void checkKeys(json const& object, std::initializer_list<char const*> allowed,
               std::string const& where) {
    if (!object.is_object()) {
        fail(where, "must be an object");
    }
    for (auto const& item : object.items()) {
        bool known = false;
        for (char const* key : allowed) {
            known = known || item.key() == key;
        }
        if (!known) {
            fail(where, "unknown field '" + item.key() + "'");
        }
    }
}

int64_t integer(json const& value, int64_t min, int64_t max, std::string const& where) {
    if (!value.is_number_integer()) {
        fail(where, "must be an integer");
    }
    const int64_t v = value.get<int64_t>();
    if (v < min || v > max) {
        fail(where, "out of range " + std::to_string(min) + ".." + std::to_string(max));
    }
    return v;
}

template <typename T>
void readInt(json const& object, char const* key, T& out, std::string const& where) {
    if (object.contains(key)) {
        out = T(integer(object[key], std::numeric_limits<T>::min(), std::numeric_limits<T>::max(),
                        where + "." + key));
    }
}

void readBool(json const& object, char const* key, bool& out, std::string const& where) {
    if (!object.contains(key)) {
        return;
    }
    if (!object[key].is_boolean()) {
        fail(where + "." + key, "must be true or false");
    }
    out = object[key].get<bool>();
}

std::string text(json const& value, std::string const& where) {
    if (!value.is_string()) {
        fail(where, "must be a string");
    }
    return value.get<std::string>();
}

template <size_t N> std::array<uint8_t, N> byteArray(json const& value, std::string const& where) {
    if (!value.is_array() || value.size() != N) {
        fail(where, "must be an array of " + std::to_string(N) + " bytes");
    }
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; ++i) {
        out[i] = uint8_t(integer(value[i], 0, 255, where));
    }
    return out;
}

Bytes bytes(json const& value, std::string const& where) {
    if (!value.is_array()) {
        fail(where, "must be an array of bytes");
    }
    Bytes out;
    for (auto const& b : value) {
        out.push_back(uint8_t(integer(b, 0, 255, where)));
    }
    return out;
}

Bytes base64(std::string const& in, std::string const& where) {
    auto data = Base64::decode(in);
    if (!data) {
        fail(where, "invalid base64");
    }
    return *data;
}

uint8_t slotNumber(std::string const& key, int min, std::string const& where) {
    size_t used = 0;
    int v = -1;
    try {
        v = std::stoi(key, &used);
    } catch (std::exception const&) {
        used = 0;
    }
    if (used != key.size() || v < min || v > 255) {
        fail(where, "slot '" + key + "' is not a number " + std::to_string(min) + "..255");
    }
    return uint8_t(v);
}

SlotKind kind(std::string const& name, std::string const& where) {
    static const std::map<std::string, SlotKind> kinds = {{"int32", SlotKind::Int32},
                                                          {"double", SlotKind::Double},
                                                          {"bool", SlotKind::Bool},
                                                          {"enum", SlotKind::Enum},
                                                          {"color", SlotKind::Color}};
    auto it = kinds.find(name);
    if (it == kinds.end()) {
        fail(where, "unknown kind '" + name + "'");
    }
    return it->second;
}

// A scenario "value" in the slot's own terms, encoded as the board stores it.
int32_t encode(SlotSpec const& slot, json const& value, std::string const& where) {
    switch (slot.kind) {
    case SlotKind::Bool:
        if (!value.is_boolean()) {
            fail(where, "must be true or false");
        }
        return value.get<bool>() ? 1 : 0;
    case SlotKind::Double:
        if (!value.is_number()) {
            fail(where, "must be a number");
        }
        return int32_t(std::trunc(value.get<double>() * slot.multiplier));
    case SlotKind::Color:
        checkKeys(value, {"r", "g", "b"}, where);
        return int32_t(integer(value.value("r", json(0)), 0, 255, where + ".r") << 16 |
                       integer(value.value("g", json(0)), 0, 255, where + ".g") << 8 |
                       integer(value.value("b", json(0)), 0, 255, where + ".b"));
    default:
        return int32_t(integer(value, INT32_MIN, INT32_MAX, where));
    }
}

bool reservedForLight(uint8_t slot) {
    return slot <= 6 || slot == 240 || slot == 241 || slot == 255;
}

void requireObject(json const& value, std::string const& where) {
    if (!value.is_object()) {
        fail(where, "must be an object");
    }
}

std::map<uint8_t, SlotSpec> slots(json const& table, bool config, std::string const& where) {
    requireObject(table, where);
    std::map<uint8_t, SlotSpec> out;
    for (auto const& item : table.items()) {
        const std::string at = where + "." + item.key();
        const uint8_t number = slotNumber(item.key(), 0, at);
        json const& v = item.value();
        checkKeys(v,
                  {"kind", "raw", "value", "multiplier", "enumCount", "min", "max", "light",
                   "writableMask"},
                  at);
        SlotSpec slot;
        if (v.contains("kind")) {
            slot.kind = kind(text(v["kind"], at + ".kind"), at + ".kind");
        }
        if (v.contains("multiplier")) {
            slot.multiplier = double(integer(v["multiplier"], 1, 255, at + ".multiplier"));
        }
        if (v.contains("enumCount")) {
            slot.enumCount = int32_t(integer(v["enumCount"], 1, INT32_MAX, at + ".enumCount"));
        }
        if (v.contains("min")) {
            slot.min = int32_t(integer(v["min"], INT32_MIN, INT32_MAX, at + ".min"));
        }
        if (v.contains("max")) {
            slot.max = int32_t(integer(v["max"], INT32_MIN, INT32_MAX, at + ".max"));
        }
        readBool(v, "light", slot.light, at);
        readInt(v, "writableMask", slot.writableMask, at);
        if (v.contains("raw") && v.contains("value")) {
            fail(at, "give either raw or value");
        }
        readInt(v, "raw", slot.raw, at);
        if (v.contains("value")) {
            slot.raw = encode(slot, v["value"], at + ".value");
        }
        if (slot.light && !config) {
            fail(at, "only configuration slots can be lights");
        }
        if (slot.light && reservedForLight(number)) {
            fail(at, "a light slot cannot use Misc slot " + std::to_string(number));
        }
        out[number] = slot;
    }
    return out;
}

// A text as a board sends it: a string, or an array of bytes for one that
// is not valid UTF-8.
std::string boardText(json const& value, std::string const& where) {
    if (!value.is_array()) {
        return text(value, where);
    }
    const Bytes raw = bytes(value, where);
    return std::string(raw.begin(), raw.end());
}

BoardInfo boardInfo(json const& v, std::string const& where) {
    checkKeys(v, {"firmwareName", "firmwareVersion", "boardName", "boardVersion", "boardId"},
              where);
    BoardInfo info;
    if (v.contains("firmwareName")) {
        info.firmwareName = boardText(v["firmwareName"], where + ".firmwareName");
    }
    readInt(v, "firmwareVersion", info.firmwareVersion, where);
    if (v.contains("boardName")) {
        info.boardName = boardText(v["boardName"], where + ".boardName");
    }
    readInt(v, "boardVersion", info.boardVersion, where);
    if (v.contains("boardId")) {
        const std::string id = text(v["boardId"], where + ".boardId");
        if (id.size() != 32 ||
            id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            fail(where + ".boardId", "must be 32 hexadecimal digits");
        }
        for (size_t i = 0; i < 16; ++i) {
            info.boardId[i] = uint8_t(std::stoi(id.substr(2 * i, 2), nullptr, 16));
        }
    }
    return info;
}

Network network(json const& v, std::string const& where) {
    checkKeys(
        v, {"link", "mac", "ip", "boardServerPort", "dhcp", "cfgIp", "netmask", "gateway", "dns"},
        where);
    Network n;
    readInt(v, "link", n.link, where);
    readInt(v, "boardServerPort", n.boardServerPort, where);
    readBool(v, "dhcp", n.dhcp, where);
    if (v.contains("mac")) {
        n.mac = byteArray<6>(v["mac"], where + ".mac");
    }
    const std::pair<char const*, std::array<uint8_t, 4>*> addresses[] = {{"ip", &n.ip},
                                                                         {"cfgIp", &n.cfgIp},
                                                                         {"netmask", &n.netmask},
                                                                         {"gateway", &n.gateway},
                                                                         {"dns", &n.dns}};
    for (auto const& [key, field] : addresses) {
        if (v.contains(key)) {
            *field = byteArray<4>(v[key], where + "." + key);
        }
    }
    return n;
}

std::optional<BusReport> busReport(json const& r, std::string const& where) {
    if (r == "auto") {
        return std::nullopt;
    }
    checkKeys(r, {"total", "connected", "rx", "tx", "quality"}, where);
    BusReport report;
    readInt(r, "total", report.total, where);
    readInt(r, "connected", report.connected, where);
    readInt(r, "rx", report.rx, where);
    readInt(r, "tx", report.tx, where);
    readInt(r, "quality", report.quality, where);
    return report;
}

void mainExtras(json const& v, MainSpec& main, std::string const& where) {
    if (v.contains("clock") && v.contains("host-offset")) {
        fail(where, "give either clock or host-offset");
    }
    readInt(v, "clock", main.clock, where);
    if (v.contains("host-offset")) {
        main.hostOffset = integer(v["host-offset"], INT32_MIN, INT32_MAX, where + ".host-offset");
    }
    if (v.contains("network")) {
        main.network = network(v["network"], where + ".network");
    }
    if (v.contains("busReport")) {
        main.busReport = busReport(v["busReport"], where + ".busReport");
    }
    if (v.contains("security")) {
        const std::string at = where + ".security";
        json const& s = v["security"];
        checkKeys(s, {"password", "preauth"}, at);
        if (s.contains("password")) {
            main.password = text(s["password"], at + ".password");
        }
        if (s.contains("preauth") && !s["preauth"].is_null()) {
            checkKeys(s["preauth"], {"hash", "salt"}, at + ".preauth");
            main.preauth =
                Preauth{text(s["preauth"].value("hash", json("")), at + ".preauth.hash"),
                        text(s["preauth"].value("salt", json("")), at + ".preauth.salt")};
        }
    }
    if (v.contains("files")) {
        requireObject(v["files"], where + ".files");
        for (auto const& item : v["files"].items()) {
            const std::string at = where + ".files." + item.key();
            main.files[item.key()] = base64(text(item.value(), at), at);
        }
    }
    readBool(v, "legacyChecksum", main.legacyChecksum, where);
}

BoardSpec board(json const& v, MainSpec& main, std::string const& where) {
    checkKeys(v,
              {"address", "name", "present", "bootMs", "uptimeStart", "info", "telemetry", "config",
               "status0", "statusN", "actions", "bootloader", "clock", "host-offset", "network",
               "busReport", "security", "files", "legacyChecksum"},
              where);
    BoardSpec b;
    if (!v.contains("address")) {
        fail(where, "address is missing");
    }
    b.address = uint8_t(integer(v["address"], 0, 254, where + ".address"));
    if (b.address == AddressConsole) {
        fail(where + ".address", "200 is the service console, not a board");
    }
    if (v.contains("name")) {
        b.name = text(v["name"], where + ".name");
    }
    readBool(v, "present", b.present, where);
    readInt(v, "bootMs", b.bootMs, where);
    readInt(v, "uptimeStart", b.uptimeStart, where);
    if (b.bootMs < 0) {
        fail(where + ".bootMs", "must not be negative");
    }
    if (v.contains("info")) {
        b.info = boardInfo(v["info"], where + ".info");
    }
    if (v.contains("telemetry")) {
        b.telemetry = slots(v["telemetry"], false, where + ".telemetry");
    }
    if (v.contains("config")) {
        b.config = slots(v["config"], true, where + ".config");
    }
    if (v.contains("status0")) {
        checkKeys(v["status0"], {"status", "errors"}, where + ".status0");
        readInt(v["status0"], "status", b.status, where + ".status0");
        readInt(v["status0"], "errors", b.errors, where + ".status0");
    }
    if (v.contains("statusN")) {
        requireObject(v["statusN"], where + ".statusN");
        for (auto const& item : v["statusN"].items()) {
            const std::string at = where + ".statusN." + item.key();
            checkKeys(item.value(), {"code", "text"}, at);
            StatusText status;
            readInt(item.value(), "code", status.code, at);
            if (item.value().contains("text")) {
                status.text = boardText(item.value()["text"], at + ".text");
            }
            b.statusN[slotNumber(item.key(), 1, at)] = status;
        }
    }
    if (v.contains("actions")) {
        requireObject(v["actions"], where + ".actions");
        for (auto const& item : v["actions"].items()) {
            const std::string at = where + ".actions." + item.key();
            checkKeys(item.value(), {"reply"}, at);
            int32_t reply = 0;
            readInt(item.value(), "reply", reply, at);
            b.actions[slotNumber(item.key(), 0, at)] = reply;
        }
    }
    if (v.contains("bootloader")) {
        const std::string at = where + ".bootloader";
        checkKeys(v["bootloader"], {"status", "flags", "flagsWritableMask", "capacity"}, at);
        readInt(v["bootloader"], "status", b.bootloader.status, at);
        readInt(v["bootloader"], "flags", b.bootloader.flags, at);
        readInt(v["bootloader"], "flagsWritableMask", b.bootloader.flagsWritableMask, at);
        readInt(v["bootloader"], "capacity", b.bootloader.capacity, at);
    }
    bool const hasExtras = v.contains("clock") || v.contains("host-offset") ||
                           v.contains("network") || v.contains("busReport") ||
                           v.contains("security") || v.contains("files") ||
                           v.contains("legacyChecksum");
    if (hasExtras && b.address != 0) {
        fail(where, "clock, network, busReport, security, files and legacyChecksum belong to "
                    "the main board (address 0)");
    }
    if (b.address == 0) {
        mainExtras(v, main, where);
    }
    return b;
}

Silence silence(json const& value, std::string const& where) {
    const std::string mode = text(value, where);
    if (mode == "error") {
        return Silence::ErrorReply;
    }
    if (mode != "silent") {
        fail(where, "must be \"error\" or \"silent\"");
    }
    return Silence::Silent;
}

void readBehaviour(json const& v, Behaviour& b) {
    readBool(v, "gatewayOnline", b.gatewayOnline, "scenario");
    readBool(v, "noTerminator", b.noTerminator, "scenario");
    if (v.contains("absentMode")) {
        b.absentMode = silence(v["absentMode"], "absentMode");
    }
    if (v.contains("unknownAddress")) {
        b.unknownAddress = silence(v["unknownAddress"], "unknownAddress");
    }
    if (v.contains("heartbeatPayload")) {
        json const& h = v["heartbeatPayload"];
        if (h.is_array()) {
            b.heartbeatPayload = HeartbeatPayload::Explicit;
            b.heartbeatBytes = bytes(h, "heartbeatPayload");
        } else if (h == "empty") {
            b.heartbeatPayload = HeartbeatPayload::Empty;
        } else if (h != "u32") {
            fail("heartbeatPayload", "must be \"u32\", \"empty\" or an array of bytes");
        }
    }
    if (v.contains("rebootReply")) {
        const std::string mode = text(v["rebootReply"], "rebootReply");
        if (mode == "none") {
            b.rebootReply = RebootReply::None;
        } else if (mode == "err82") {
            b.rebootReply = RebootReply::Err82;
        } else if (mode != "before") {
            fail("rebootReply", "must be \"before\", \"none\" or \"err82\"");
        }
    }
    if (v.contains("openMissing")) {
        const std::string mode = text(v["openMissing"], "openMissing");
        if (mode == "notFound") {
            b.openMissing = OpenMissing::NotFound;
        } else if (mode != "create") {
            fail("openMissing", "must be \"create\" or \"notFound\"");
        }
    }
    readInt(v, "lastWriteResult", b.lastWriteResult, "scenario");
    readInt(v, "lastReadResult", b.lastReadResult, "scenario");
}

// JSON objects keep the last of two equal keys; a scenario with two equal slots is refused instead.
json parseStrict(std::istream& in, std::string const& path) {
    std::vector<std::set<std::string>> keys;
    std::string duplicate;
    json::parser_callback_t callback = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.back().insert(parsed).second &&
                   duplicate.empty()) {
            duplicate = parsed.get<std::string>();
        }
        return true;
    };
    json result;
    try {
        result = json::parse(in, callback);
    } catch (json::exception const& e) {
        throw ScenarioError(path + ": " + e.what());
    }
    if (!duplicate.empty()) {
        throw ScenarioError(path + ": duplicate key '" + duplicate + "'");
    }
    return result;
}

} // namespace

Scenario Scenario::fromJson(json const& v) {
    checkKeys(v,
              {"bind", "boards", "gatewayOnline", "absentMode", "unknownAddress",
               "heartbeatPayload", "rebootReply", "noTerminator", "openMissing", "lastWriteResult",
               "lastReadResult"},
              "scenario");
    Scenario scenario;
    if (v.contains("bind")) {
        scenario.bind = text(v["bind"], "bind");
        if (scenario.bind != "127.0.0.1") {
            fail("bind", "only 127.0.0.1 is allowed, not '" + scenario.bind + "'");
        }
    }
    readBehaviour(v, scenario.behaviour);
    if (!v.contains("boards") || !v["boards"].is_array()) {
        fail("scenario", "boards must be an array");
    }
    std::set<uint8_t> addresses;
    for (size_t i = 0; i < v["boards"].size(); ++i) {
        const std::string where = "boards[" + std::to_string(i) + "]";
        BoardSpec b = board(v["boards"][i], scenario.main, where);
        if (!addresses.insert(b.address).second) {
            fail(where + ".address", "duplicate address " + std::to_string(b.address));
        }
        scenario.boards.push_back(std::move(b));
    }
    if (!addresses.count(0)) {
        fail("boards", "the main board (address 0) is missing");
    }
    return scenario;
}

Scenario Scenario::fromFile(std::string const& path) {
    std::ifstream in(path);
    if (!in) {
        throw ScenarioError(path + ": cannot be read");
    }
    try {
        return fromJson(parseStrict(in, path));
    } catch (ScenarioError const& e) {
        if (std::string(e.what()).rfind(path, 0) == 0) {
            throw;
        }
        throw ScenarioError(path + ": " + e.what());
    }
}

BoardInfo Scenario::boardInfoFromJson(json const& value) {
    return boardInfo(value, "info");
}

std::string Scenario::boardTextFromJson(json const& value) {
    return boardText(value, "text");
}

Network Scenario::networkFromJson(json const& value) {
    return network(value, "network");
}

std::optional<BusReport> Scenario::busReportFromJson(json const& value) {
    return busReport(value, "busReport");
}

std::string Scenario::defaultPath() {
    return BOARDSIM_DEFAULT_SCENARIO;
}

Scenario Scenario::defaults() {
    return fromFile(defaultPath());
}

} // namespace boardsim

#include "ControlCommands.h"

#include "Base64.h"
#include "Frame.h"

#include <cctype>
#include <climits>
#include <map>
#include <stdexcept>

namespace boardsim {

using nlohmann::json;

namespace {

// Malformed control requests; the message goes back to the client.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int64_t number(json const& request, char const* key, int64_t min, int64_t max) {
    if (!request.contains(key) || !request[key].is_number_integer()) {
        throw BadRequest(std::string("'") + key + "' must be an integer");
    }
    const int64_t v = request[key].get<int64_t>();
    if (v < min || v > max) {
        throw BadRequest(std::string("'") + key + "' out of range");
    }
    return v;
}

uint8_t byte(json const& request, char const* key) {
    return uint8_t(number(request, key, 0, 255));
}

uint8_t address(json const& request) {
    return byte(request, "addr");
}

bool flag(json const& request, char const* key) {
    if (!request.contains(key) || !request[key].is_boolean()) {
        throw BadRequest(std::string("'") + key + "' must be true or false");
    }
    return request[key].get<bool>();
}

std::string text(json const& request, char const* key) {
    if (!request.contains(key) || !request[key].is_string()) {
        throw BadRequest(std::string("'") + key + "' must be a string");
    }
    return request[key].get<std::string>();
}

// Bytes as an array of numbers or as hexadecimal text ("c9 05 7f 00").
Bytes bytes(json const& value, char const* what) {
    Bytes out;
    if (value.is_array()) {
        for (auto const& b : value) {
            if (!b.is_number_integer() || b.get<int64_t>() < 0 || b.get<int64_t>() > 255) {
                throw BadRequest(std::string("'") + what + "' must hold bytes");
            }
            out.push_back(uint8_t(b.get<int>()));
        }
        return out;
    }
    if (!value.is_string()) {
        throw BadRequest(std::string("'") + what + "' must be an array of bytes or hex text");
    }
    std::string digits;
    for (char c : value.get<std::string>()) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ') {
            throw BadRequest(std::string("'") + what + "' is not hex text");
        }
    }
    if (digits.size() % 2) {
        throw BadRequest(std::string("'") + what + "' has an odd number of hex digits");
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes fromBase64(std::string const& text) {
    auto data = Base64::decode(text);
    if (!data) {
        throw BadRequest("'base64' is not valid base64");
    }
    return *data;
}

Action actionFromJson(json const& v) {
    if (!v.is_object()) {
        throw BadRequest("'action' must be an object");
    }
    Action a;
    for (auto const& item : v.items()) {
        std::string const& key = item.key();
        json const& value = item.value();
        if (key == "drop") {
            a.drop = flag(v, "drop");
        } else if (key == "delay") {
            a.delayMs = int(number(v, "delay", 0, INT_MAX));
        } else if (key == "duplicate") {
            a.duplicateGapMs = int(number(v, "duplicate", 0, INT_MAX));
        } else if (key == "seq") {
            const std::string s = text(v, "seq");
            if (s.size() < 2 || (s[0] != '+' && s[0] != '-' && s[0] != '=')) {
                throw BadRequest("'seq' must be \"+k\", \"-k\" or \"=v\"");
            }
            int const n = std::stoi(s.substr(1));
            if (s[0] == '=') {
                a.seqValue = uint8_t(n);
            } else {
                a.seqOffset = s[0] == '+' ? n : -n;
            }
        } else if (key == "address") {
            a.address = byte(v, "address");
        } else if (key == "command") {
            a.command = byte(v, "command");
        } else if (key == "error") {
            a.error = byte(v, "error");
        } else if (key == "errorWithPayload") {
            if (!value.is_array() || value.size() != 2) {
                throw BadRequest("'errorWithPayload' must be [byte, count]");
            }
            a.error = byte(json{{"error", value[0]}}, "error");
            a.errorExtra = size_t(number(json{{"count", value[1]}}, "count", 0, 65535));
        } else if (key == "payload") {
            a.payload = bytes(value, "payload");
        } else if (key == "truncate") {
            a.truncate = size_t(number(v, "truncate", 0, 65535));
        } else if (key == "append") {
            a.append = bytes(value, "append");
        } else if (key == "short") {
            a.shortLength = size_t(number(v, "short", 0, 3));
        } else if (key == "oversize") {
            a.oversize = size_t(number(v, "oversize", 513, 65507));
        } else if (key == "result") {
            a.result = int16_t(number(v, "result", INT16_MIN, UINT16_MAX));
        } else if (key == "echoOverride") {
            a.echo = bytes(value, "echoOverride");
        } else if (key == "hold") {
            a.hold = flag(v, "hold");
        } else if (key == "unsolicited") {
            a.unsolicited = bytes(value, "unsolicited");
        } else {
            throw BadRequest("unknown action '" + key + "'");
        }
    }
    return a;
}

json recordToJson(RequestRecord const& r) {
    json j = {{"timeMs", r.timeMs},   {"sourcePort", r.sourcePort}, {"hex", r.hex},
              {"summary", r.summary}, {"rules", r.rules},           {"reply", r.reply},
              {"outcome", r.outcome}};
    if (!r.malformed) {
        j["addr"] = r.address;
        j["seq"] = r.sequence;
        j["cmd"] = r.command;
        j["slot"] = r.slot;
        j["payload"] = Frame::hex(r.payload);
    }
    if (r.segment) {
        j["segment"] = *r.segment;
    }
    return j;
}

json countersToJson(Counters const& c) {
    json transitions = json::array();
    for (auto const& t : c.transitions()) {
        transitions.push_back({{"addr", t.address},
                               {"slot", t.slot},
                               {"target", t.target},
                               {"transition", t.transition}});
    }
    json patterns = json::array();
    for (auto const& p : c.patterns()) {
        json steps = json::array();
        for (auto const& s : p.steps) {
            steps.push_back(
                {{"b", s.b}, {"g", s.g}, {"r", s.r}, {"t", s.t}, {"duration", s.durationMs}});
        }
        patterns.push_back(
            {{"addr", p.address}, {"slot", p.slot}, {"repeat", p.repeat}, {"steps", steps}});
    }
    json uploads = json::array();
    for (auto const& u : c.uploads()) {
        uploads.push_back({{"addr", u.address},
                           {"len", u.length},
                           {"crc", u.crc},
                           {"count", u.count},
                           {"committed", u.committed},
                           {"installed", u.installed}});
    }
    return {{"transitions", transitions},
            {"patterns", patterns},
            {"uploads", uploads},
            {"disarmAttempts", c.disarmAttempts()}};
}

SlotTable table(json const& request) {
    const std::string t = text(request, "table");
    if (t == "telemetry") {
        return SlotTable::Telemetry;
    }
    if (t != "config") {
        throw BadRequest("'table' must be \"telemetry\" or \"config\"");
    }
    return SlotTable::Config;
}

Silence silence(json const& request) {
    const std::string mode = text(request, "value");
    if (mode != "error" && mode != "silent") {
        throw BadRequest("'value' must be \"error\" or \"silent\"");
    }
    return mode == "silent" ? Silence::Silent : Silence::ErrorReply;
}

} // namespace

Filter ControlCommands::filterFromJson(json const& v) {
    if (v.is_null()) {
        return Filter{};
    }
    if (!v.is_object()) {
        throw BadRequest("'match' must be an object");
    }
    Filter f;
    for (auto const& item : v.items()) {
        std::string const& key = item.key();
        if (key == "addr") {
            f.address = byte(v, "addr");
        } else if (key == "cmd") {
            f.command = byte(v, "cmd");
        } else if (key == "slot") {
            f.slot = byte(v, "slot");
        } else if (key == "sub") {
            f.sub = byte(v, "sub");
        } else if (key == "segment") {
            f.segment = uint16_t(number(v, "segment", 0, 65535));
        } else if (key != "nth" && key != "times" && key != "probability" && key != "seed") {
            throw BadRequest("unknown match field '" + key + "'");
        }
    }
    return f;
}

Rule ControlCommands::ruleFromJson(json const& v) {
    Rule rule;
    const json match = v.value("match", json::object());
    rule.match = filterFromJson(match);
    rule.action = actionFromJson(v.value("action", json::object()));
    // nth, times, probability and seed may sit in the match or beside it.
    for (json const* source : {&match, &v}) {
        if (source->contains("nth")) {
            rule.nth = uint32_t(number(*source, "nth", 0, UINT32_MAX));
        }
        if (source->contains("times")) {
            rule.times = uint32_t(number(*source, "times", 0, UINT32_MAX));
        }
        if (source->contains("seed")) {
            rule.seed = uint32_t(number(*source, "seed", 0, UINT32_MAX));
        }
        if (source->contains("probability")) {
            if (!(*source)["probability"].is_number()) {
                throw BadRequest("'probability' must be a number");
            }
            rule.probability = (*source)["probability"].get<double>();
        }
    }
    if (v.contains("chain")) {
        rule.chain = flag(v, "chain");
    }
    return rule;
}

namespace {

// The operations by name. Each reads its members from the request and
// answers the members of its reply ("ok" is added by handle).
using Operation = std::function<json(BoardSim&, json const&)>;

json filesReply(BoardSim& s, json const&) {
    json files = json::array();
    for (auto const& f : s.files()) {
        files.push_back({{"name", f.name}, {"size", f.size}, {"md5", f.md5}});
    }
    return {{"files", files}};
}

json requestsReply(BoardSim& s, json const&) {
    json list = json::array();
    for (auto const& record : s.requests()) {
        list.push_back(recordToJson(record));
    }
    return {{"requests", list}};
}

json countersReply(BoardSim& s, json const& r) {
    json reply = countersToJson(s.counters());
    if (r.contains("addr")) {
        const uint8_t a = address(r);
        reply["reboots"] = s.counters().reboots(a);
        if (r.contains("action")) {
            reply["actions"] = s.counters().actions(a, byte(r, "action"));
        }
        if (r.contains("cmd") && r.contains("slot")) {
            reply["requests"] = s.counters().requests(a, byte(r, "cmd"), byte(r, "slot"));
        }
    }
    return reply;
}

json stateReply(BoardSim& s, json const& r) {
    json reply = {{"disarmed", s.disarmed()}, {"clock", s.clock()}};
    auto preauth = s.preauth();
    reply["preauth"] = preauth ? json{{"hash", preauth->hash}, {"salt", preauth->salt}} : json();
    if (r.contains("addr")) {
        const uint8_t a = address(r);
        const BoardInfo info = s.boardInfo(a);
        reply["booting"] = s.isBooting(a);
        reply["firmwareName"] = info.firmwareName;
        reply["firmwareVersion"] = info.firmwareVersion;
        reply["bootloaderStatus"] = s.bootloaderStatus(a);
        reply["bootloaderFlags"] = s.bootloaderFlags(a);
    }
    return reply;
}

// A table of the control commands, one short entry each.
// NOLINTNEXTLINE(readability-function-size)
std::map<std::string, Operation> const& operations() {
    static const std::map<std::string, Operation> byName = {
        {"rule",
         [](BoardSim& s, json const& r) {
             return json{{"id", s.addRule(ControlCommands::ruleFromJson(r))}};
         }},
        {"removeRule",
         [](BoardSim& s, json const& r) {
             return json{{"removed", s.removeRule(int(number(r, "id", 0, INT_MAX)))}};
         }},
        {"clearRules", [](BoardSim& s, json const&) { return s.clearRules(), json::object(); }},
        {"ruleUses",
         [](BoardSim& s, json const& r) {
             return json{{"uses", s.ruleUses(int(number(r, "id", 0, INT_MAX)))}};
         }},
        {"release", [](BoardSim& s, json const&) { return s.release(), json::object(); }},
        {"unsolicited",
         [](BoardSim& s, json const& r) {
             return s.sendUnsolicited(bytes(r.value("bytes", json()), "bytes")), json::object();
         }},
        {"gatewayOnline",
         [](BoardSim& s, json const& r) {
             return s.setGatewayOnline(flag(r, "value")), json::object();
         }},
        {"present",
         [](BoardSim& s, json const& r) {
             return s.setPresent(address(r), flag(r, "value")), json::object();
         }},
        {"absentMode",
         [](BoardSim& s, json const& r) { return s.setAbsentMode(silence(r)), json::object(); }},
        {"unknownAddress",
         [](BoardSim& s, json const& r) {
             return s.setUnknownAddressMode(silence(r)), json::object();
         }},
        {"reboot", [](BoardSim& s, json const& r) { return s.reboot(address(r)), json::object(); }},
        {"powerCycle",
         [](BoardSim& s, json const& r) { return s.powerCycle(address(r)), json::object(); }},
        {"reset", [](BoardSim& s, json const&) { return s.reset(), json::object(); }},
        {"setRaw",
         [](BoardSim& s, json const& r) {
             s.setRaw(address(r), table(r), byte(r, "slot"),
                      int32_t(number(r, "raw", INT32_MIN, UINT32_MAX)));
             return json::object();
         }},
        {"raw",
         [](BoardSim& s, json const& r) {
             return json{{"raw", s.raw(address(r), table(r), byte(r, "slot"))}};
         }},
        {"setStatus",
         [](BoardSim& s, json const& r) {
             s.setStatus(address(r), uint32_t(number(r, "status", 0, UINT32_MAX)),
                         uint32_t(number(r, "errors", 0, UINT32_MAX)));
             return json::object();
         }},
        {"setStatusText",
         [](BoardSim& s, json const& r) {
             s.setStatusText(address(r), byte(r, "slot"),
                             int32_t(number(r, "code", INT32_MIN, INT32_MAX)),
                             Scenario::boardTextFromJson(r.value("text", json())));
             return json::object();
         }},
        {"setUptime",
         [](BoardSim& s, json const& r) {
             s.setUptime(address(r), uint32_t(number(r, "seconds", 0, UINT32_MAX)));
             return json::object();
         }},
        {"setBoardInfo",
         [](BoardSim& s, json const& r) {
             s.setBoardInfo(address(r), Scenario::boardInfoFromJson(r.value("info", json())));
             return json::object();
         }},
        {"setBootloader",
         [](BoardSim& s, json const& r) {
             if (r.contains("status")) {
                 s.setBootloaderStatus(address(r), uint16_t(number(r, "status", 0, 0xFFFF)));
             }
             if (r.contains("flags")) {
                 s.setBootloaderFlags(address(r), uint16_t(number(r, "flags", 0, 0xFFFF)));
             }
             return json{{"status", s.bootloaderStatus(address(r))},
                         {"flags", s.bootloaderFlags(address(r))}};
         }},
        {"setScratchpad",
         [](BoardSim& s, json const& r) {
             s.setScratchpad(address(r), byte(r, "index"),
                             int32_t(number(r, "value", INT32_MIN, UINT32_MAX)));
             return json::object();
         }},
        {"scratchpad",
         [](BoardSim& s, json const& r) {
             return json{{"value", s.scratchpad(address(r), byte(r, "index"))}};
         }},
        {"setClock",
         [](BoardSim& s, json const& r) {
             return s.setClock(int32_t(number(r, "value", INT32_MIN, INT32_MAX))), json::object();
         }},
        {"clock",
         [](BoardSim& s, json const&) {
             return json{{"value", s.clock()}};
         }},
        {"setNetwork",
         [](BoardSim& s, json const& r) {
             return s.setNetwork(Scenario::networkFromJson(r.value("network", json()))),
                    json::object();
         }},
        {"setBusReport",
         [](BoardSim& s, json const& r) {
             auto report = Scenario::busReportFromJson(r.value("report", json()));
             report ? s.setBusReport(*report) : s.setBusReportAuto();
             return json::object();
         }},
        {"setPassword",
         [](BoardSim& s, json const& r) {
             return s.setPassword(text(r, "value")), json::object();
         }},
        {"legacyChecksum",
         [](BoardSim& s, json const& r) {
             return s.setLegacyChecksum(flag(r, "value")), json::object();
         }},
        {"openMissing",
         [](BoardSim& s, json const& r) {
             const std::string mode = text(r, "value");
             if (mode != "create" && mode != "notFound") {
                 throw BadRequest("'value' must be \"create\" or \"notFound\"");
             }
             s.setOpenMissing(mode == "create" ? OpenMissing::Create : OpenMissing::NotFound);
             return json::object();
         }},
        {"lastWriteResult",
         [](BoardSim& s, json const& r) {
             return s.setLastWriteResult(int16_t(number(r, "value", INT16_MIN, INT16_MAX))),
                    json::object();
         }},
        {"lastReadResult",
         [](BoardSim& s, json const& r) {
             return s.setLastReadResult(int16_t(number(r, "value", INT16_MIN, INT16_MAX))),
                    json::object();
         }},
        {"heartbeatPayload",
         [](BoardSim& s, json const& r) {
             const json& v = r.value("value", json());
             if (v == "u32" || v == "empty") {
                 s.setHeartbeatPayload(v == "u32" ? HeartbeatPayload::U32
                                                  : HeartbeatPayload::Empty);
             } else {
                 s.setHeartbeatPayload(HeartbeatPayload::Explicit, bytes(v, "value"));
             }
             return json::object();
         }},
        {"rebootReply",
         [](BoardSim& s, json const& r) {
             static const std::map<std::string, RebootReply> modes = {
                 {"before", RebootReply::Before},
                 {"none", RebootReply::None},
                 {"err82", RebootReply::Err82}};
             auto it = modes.find(text(r, "value"));
             if (it == modes.end()) {
                 throw BadRequest("'value' must be \"before\", \"none\" or \"err82\"");
             }
             return s.setRebootReply(it->second), json::object();
         }},
        {"noTerminator",
         [](BoardSim& s, json const& r) {
             return s.setNoTerminator(flag(r, "value")), json::object();
         }},
        {"putFile",
         [](BoardSim& s, json const& r) {
             return s.putFile(text(r, "name"), fromBase64(text(r, "base64"))), json::object();
         }},
        {"getFile",
         [](BoardSim& s, json const& r) {
             auto content = s.file(text(r, "name"));
             return content ? json{{"base64", Base64::encode(*content)}}
                            : json{{"base64", nullptr}};
         }},
        {"deleteFile",
         [](BoardSim& s, json const& r) {
             return json{{"deleted", s.deleteFile(text(r, "name"))}};
         }},
        {"files", filesReply},
        {"requests", requestsReply},
        {"clearRequests",
         [](BoardSim& s, json const&) { return s.clearRequests(), json::object(); }},
        {"requestCount",
         [](BoardSim& s, json const& r) {
             return json{{"count", s.requestCount(
                                       ControlCommands::filterFromJson(r.value("match", json())))}};
         }},
        {"waitFor",
         [](BoardSim& s, json const& r) {
             const bool reached = s.waitFor(
                 ControlCommands::filterFromJson(r.value("match", json())),
                 size_t(number(r, "count", 0, INT_MAX)), int(number(r, "timeoutMs", 0, 600000)));
             return json{{"reached", reached}};
         }},
        {"counters", countersReply},
        {"state", stateReply},
    };
    return byName;
}

} // namespace

json ControlCommands::handleLine(std::string const& line) {
    json request;
    try {
        request = json::parse(line);
    } catch (json::exception const& e) {
        return {{"ok", false}, {"error", std::string("invalid JSON: ") + e.what()}};
    }
    return handle(request);
}

json ControlCommands::handle(json const& request) {
    try {
        if (!request.is_object()) {
            throw BadRequest("a request must be a JSON object");
        }
        json reply = dispatch(text(request, "op"), request);
        reply["ok"] = true;
        return reply;
    } catch (std::exception const& e) {
        // Unknown boards and slots come back as std::out_of_range, bad values as
        // BadRequest or ScenarioError: all are the client's to fix.
        return {{"ok", false}, {"error", e.what()}};
    }
}

json ControlCommands::dispatch(std::string const& op, json const& request) {
    auto it = operations().find(op);
    if (it == operations().end()) {
        throw BadRequest("unknown op '" + op + "'");
    }
    return it->second(sim, request);
}

} // namespace boardsim

#pragma once

#include "FaultRule.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace boardsim {

// A scenario file or value that cannot be used; the message says why.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SlotKind { Int32, Double, Bool, Enum, Color };

struct SlotSpec {
    SlotKind kind = SlotKind::Int32;
    int32_t raw = 0;
    double multiplier = 1.0; // used to turn a scenario "value" into raw
    std::optional<int32_t> enumCount;
    std::optional<int32_t> min;
    std::optional<int32_t> max;
    bool light = false;
    uint32_t writableMask = 0xFFFFFFFF;
};

struct StatusText {
    int32_t code = 0;
    std::string text;
};

struct BoardInfo {
    std::string firmwareName;
    uint16_t firmwareVersion = 0;
    std::string boardName;
    uint8_t boardVersion = 0;
    std::array<uint8_t, 16> boardId{};
};

struct BootloaderSpec {
    uint16_t status = 0;
    uint16_t flags = 0;
    uint16_t flagsWritableMask = 0xFFFF;
    uint32_t capacity = 1024 * 1024;
};

struct BoardSpec {
    uint8_t address = 0;
    std::string name;
    bool present = true;
    int bootMs = 300;
    uint32_t uptimeStart = 0; // s
    BoardInfo info;
    std::map<uint8_t, SlotSpec> telemetry;
    std::map<uint8_t, SlotSpec> config;
    uint32_t status = 0; // status slot 0
    uint32_t errors = 0;
    std::map<uint8_t, StatusText> statusN;
    std::map<uint8_t, int32_t> actions; // slot -> reply
    BootloaderSpec bootloader;
};

struct Network {
    uint8_t link = 1;
    std::array<uint8_t, 6> mac{};
    std::array<uint8_t, 4> ip{};
    uint16_t boardServerPort = 10000;
    bool dhcp = false;
    std::array<uint8_t, 4> cfgIp{};
    std::array<uint8_t, 4> netmask{};
    std::array<uint8_t, 4> gateway{};
    std::array<uint8_t, 4> dns{};
};

struct BusReport {
    uint8_t total = 0;
    uint8_t connected = 0;
    uint16_t rx = 0;
    uint16_t tx = 0;
    uint8_t quality = 0;
};

struct Preauth {
    std::string hash;
    std::string salt;
};

// State that only the main board (address 0) has.
struct MainSpec {
    int32_t clock = 0;
    std::optional<int64_t> hostOffset; // clock := host time + offset at load
    Network network;
    std::optional<BusReport> busReport; // unset: computed ("auto")
    std::string password;
    std::optional<Preauth> preauth;
    std::map<std::string, Bytes> files;
    bool legacyChecksum = false;
};

// Answers that the protocol leaves to the boards; each selects a failure path.
enum class Silence { ErrorReply, Silent };
enum class HeartbeatPayload { U32, Empty, Explicit };
enum class RebootReply { Before, None, Err82 };
enum class OpenMissing { Create, NotFound };

struct Behaviour {
    bool gatewayOnline = true;
    Silence absentMode = Silence::ErrorReply;
    Silence unknownAddress = Silence::ErrorReply;
    HeartbeatPayload heartbeatPayload = HeartbeatPayload::U32;
    Bytes heartbeatBytes; // for HeartbeatPayload::Explicit
    RebootReply rebootReply = RebootReply::Before;
    bool noTerminator = false; // status texts without their 00
    OpenMissing openMissing = OpenMissing::Create;
    int16_t lastWriteResult = 1; // FileDone
    int16_t lastReadResult = 1;
};

// The initial state of the simulated machine, validated at load.
struct Scenario {
    std::string bind = "127.0.0.1";
    std::vector<BoardSpec> boards; // address 0 always present
    MainSpec main;
    Behaviour behaviour;

    // Throw ScenarioError on any invalid or inconsistent field.
    static Scenario fromJson(nlohmann::json const& json);
    static Scenario fromFile(std::string const& path);
    // The shipped scenario that matches the fixture schema.
    static Scenario defaults();
    static std::string defaultPath();

    // Parts of a scenario in the same JSON form, for controls that replace them.
    static BoardInfo boardInfoFromJson(nlohmann::json const& value);
    static Network networkFromJson(nlohmann::json const& value);
    // A string, or an array of bytes for a text that is not valid UTF-8.
    static std::string boardTextFromJson(nlohmann::json const& value);
    static std::optional<BusReport> busReportFromJson(nlohmann::json const& value); // "auto": none
};

} // namespace boardsim

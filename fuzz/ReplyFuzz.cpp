// Replies from the boards: the command layer decodes whatever payload comes
// back. The simulated machine answers on loopback with the reply's payload
// replaced by the input; the first input byte picks the command.
#include "BoardSim.h"
#include "bus/BoardInfo.h"
#include "bus/BootloaderStatus.h"
#include "bus/BusReport.h"
#include "bus/Color.h"
#include "bus/ErrorCode.h"
#include "bus/Flags.h"
#include "bus/Packet.h"
#include "bus/Parser.h"
#include "foundation/Log.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Parser;
namespace Values = velt::ZRV480::Bus::ValueObjects;

namespace {

constexpr uint8_t Main = 0;
constexpr uint8_t Psu = 1;
constexpr uint8_t Light = 16;

// The scenario's machine on an ephemeral loopback port, and a parser sent
// there before it starts.
struct Bus {
    boardsim::BoardSim sim;
    Parser parser{{{Main, "mainBoard"}, {Psu, "psu"}, {Light, "lightController"}}};

    Bus() {
        Log::setLevel(Log::Level::Error);
        uint16_t const port = sim.start(0, "127.0.0.1");
        parser.socketConfigSet({{"address", "127.0.0.1"}, {"port", port}, {"timeoutMs", 50}});
        parser.configSet({50, 0});
        parser.start();
    }

    // A garbled reply takes its board, or the whole bus, offline; requests
    // to an offline board are not sent.
    void bringOnline() {
        for (uint8_t const address : {Main, Psu, Light}) {
            uint32_t uptime;
            if (!parser.isOnline(address)) {
                parser.heartbeat(address, uptime);
            }
        }
    }
};

using Command = std::function<void(Parser&)>;

std::vector<Command> const& commands() {
    static std::vector<Command> const table = {
        [](Parser& p) {
            uint32_t uptime;
            p.heartbeat(Psu, uptime);
        },
        [](Parser& p) {
            Values::BoardInfo info;
            p.boardInfoGet(Light, info);
        },
        [](Parser& p) {
            int32_t v;
            p.int32Get(Packet(Psu, Packet::Command::Telemetry, 0, {}), v);
        },
        [](Parser& p) {
            double v;
            p.doubleGet(Packet(Psu, Packet::Command::Telemetry, 1, {}), 10, v);
        },
        [](Parser& p) {
            bool v;
            p.boolGet(Packet(Psu, Packet::Command::ConfigGet, 0, {}), v);
        },
        [](Parser& p) {
            int32_t v;
            p.enumGet(Packet(Light, Packet::Command::ConfigGet, 0, {}), v);
        },
        [](Parser& p) {
            std::bitset<32> status, errors;
            p.slot0StatusGet(Packet(Psu, Packet::Command::Status, 0, {}), status, errors);
        },
        [](Parser& p) {
            std::pair<uint8_t, std::string> status;
            p.slotNStatusGet(Packet(Light, Packet::Command::Status, 1, {}), status);
        },
        [](Parser& p) {
            Values::Color colour{};
            p.lightTransitionColor(Light, 1, colour);
        },
        [](Parser& p) {
            uint8_t v;
            p.lightTransitionValue(Light, 1, v);
        },
        [](Parser& p) {
            int32_t v;
            p.scratchpadGet(Psu, 4, v);
        },
        [](Parser& p) {
            int32_t t;
            p.mainTimestampGet(t);
        },
        [](Parser& p) {
            bool link;
            std::array<uint8_t, 6> mac;
            std::array<uint8_t, 4> ip;
            p.mainNetworkStatusGet(link, mac, ip);
        },
        [](Parser& p) {
            std::array<uint8_t, 4> ip, netmask, gateway;
            p.mainNetworkIpGet(ip, netmask, gateway);
        },
        [](Parser& p) {
            std::array<uint8_t, 4> dns;
            p.mainNetworkDnsGet(dns);
        },
        [](Parser& p) {
            uint16_t port;
            p.mainNetworkBoardServerGet(port);
        },
        [](Parser& p) {
            velt::ZRV480::Bus::BusReport report;
            p.mainBusStatisticsGet(report);
        },
        [](Parser& p) {
            bool disarmed;
            p.mainSecurityDisarm("secret", disarmed);
        },
        [](Parser& p) {
            uint32_t size;
            std::array<uint8_t, 16> md5;
            p.mainFileChecksum("a.txt", size, md5);
        },
        [](Parser& p) {
            std::vector<uint8_t> data;
            p.mainFileReceive("a.txt", data);
        },
        [](Parser& p) {
            Values::Bootloader::Status status;
            p.bootloaderStatusGet(Light, status);
        },
        [](Parser& p) {
            Values::Bootloader::Flags flags;
            p.bootloaderFlagsGet(Light, flags);
        },
    };
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static Bus bus;
    if (size == 0) {
        return 0;
    }
    bus.bringOnline();
    boardsim::Rule rule; // every request, so each step of a command sees the input
    rule.action = boardsim::Action::withPayload(boardsim::Bytes(data + 1, data + size));
    int const id = bus.sim.addRule(rule);
    commands()[data[0] % commands().size()](bus.parser);
    bus.sim.removeRule(id);
    bus.sim.clearRequests(); // the simulator logs every request it answers
    return 0;
}

// Seeded random faults in the replies of every command: every call must end
// with a result, never crash, and never report success for a reply it could
// not decode; once the faults are gone the bus works as before.
#include "support/CommandsBus.h"
#include "support/RandomInput.h"

#include "bus/BoardInfo.h"
#include "bus/BootloaderStatus.h"
#include "bus/BusReport.h"
#include "bus/Flags.h"
#include "bus/FlagsFlash.h"
#include "bus/Helpers.h"
#include "bus/MD5.h"
#include "bus/PatternStep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

namespace bustest {
namespace {

using velt::ZRV480::Bus::Common::ec2str;
using velt::ZRV480::Bus::Common::MD5;
using velt::ZRV480::Bus::ValueObjects::BoardInfo;
using Command = Packet::Command;

bool knownResult(ErrorCode code) {
    return ec2str(code) != ec2str(static_cast<ErrorCode>(9999));
}

// ------------------------------------------------ commands under faults

// One command with its own output as text, for comparing runs.
struct Operation {
    char const* name;
    uint8_t address; // the board the rule acts on
    Command command; // the command of its requests
    size_t minimum;  // reply payload bytes below which it cannot decode
    bool waitsLong;  // its requests wait 5000 ms: no silent faults for it
    bool stable;     // its output is the same on every clean run
    std::function<ErrorCode(Parser&, std::string&)> run;
};

template <typename... T> std::string joined(T const&... values) {
    std::ostringstream text;
    ((text << values << ' '), ...);
    return text.str();
}

std::string hex(Bytes const& bytes) {
    return velt::ZRV480::Bus::Common::Helpers::hexStr(bytes, false);
}

template <size_t N> std::string hex(std::array<uint8_t, N> const& bytes) {
    return hex(Bytes(bytes.begin(), bytes.end()));
}

std::vector<Operation> operations() {
    using velt::ZRV480::Bus::BusReport;
    using velt::ZRV480::Bus::Light::PatternStep;
    using velt::ZRV480::Bus::ValueObjects::Bootloader::Flags;
    using velt::ZRV480::Bus::ValueObjects::Bootloader::FlagsFlash;
    using velt::ZRV480::Bus::ValueObjects::Bootloader::Status;
    auto slot = [](uint8_t address, Command command, uint8_t number) {
        return Packet(address, command, number, {});
    };
    return {
        {"heartbeat", Psu, Command::Heartbeat, 0, false, false,
         [](Parser& p, std::string&) {
             uint32_t uptime = 1;
             return p.heartbeat(Psu, uptime);
         }},
        {"int32Get", Psu, Command::Telemetry, 4, false, true,
         [=](Parser& p, std::string& out) {
             int32_t value = -7;
             ErrorCode code = p.int32Get(slot(Psu, Command::Telemetry, 1), value);
             out = joined(value);
             return code;
         }},
        {"doubleGet", Psu, Command::Telemetry, 4, false, true,
         [=](Parser& p, std::string& out) {
             double value = -7;
             ErrorCode code = p.doubleGet(slot(Psu, Command::Telemetry, 0), 100, value);
             out = joined(value);
             return code;
         }},
        {"boolGet", Psu, Command::Telemetry, 1, false, true,
         [=](Parser& p, std::string& out) {
             bool value = false;
             ErrorCode code = p.boolGet(slot(Psu, Command::Telemetry, 2), value);
             out = joined(value);
             return code;
         }},
        {"enumGet", Psu, Command::ConfigGet, 4, false, true,
         [=](Parser& p, std::string& out) {
             int32_t value = -7;
             ErrorCode code = p.enumGet(slot(Psu, Command::ConfigGet, 0), value);
             out = joined(value);
             return code;
         }},
        {"int32Set", Psu, Command::ConfigSet, 4, false, true,
         [=](Parser& p, std::string& out) {
             int32_t value = 20;
             ErrorCode code = p.int32Set(slot(Psu, Command::ConfigSet, 2), value);
             out = joined(value);
             return code;
         }},
        {"doubleSet", Psu, Command::ConfigSet, 4, false, true,
         [=](Parser& p, std::string& out) {
             double value = 13.8;
             ErrorCode code = p.doubleSet(slot(Psu, Command::ConfigSet, 4), 100, value);
             out = joined(value);
             return code;
         }},
        {"boolSet", Psu, Command::ConfigSet, 1, false, true,
         [=](Parser& p, std::string& out) {
             bool value = true;
             ErrorCode code = p.boolSet(slot(Psu, Command::ConfigSet, 1), value);
             out = joined(value);
             return code;
         }},
        {"status0", Psu, Command::Status, 8, false, true,
         [=](Parser& p, std::string& out) {
             std::bitset<32> status(7), errors(7);
             ErrorCode code = p.slot0StatusGet(slot(Psu, Command::Status, 0), status, errors);
             out = joined(status, errors);
             return code;
         }},
        {"statusN", Psu, Command::Status, 4, false, true,
         [=](Parser& p, std::string& out) {
             std::pair<uint8_t, std::string> status{7, "none"};
             ErrorCode code = p.slotNStatusGet(slot(Psu, Command::Status, 4), status);
             out = joined(int(status.first), status.second);
             return code;
         }},
        {"action", Psu, Command::Action, 4, false, true,
         [](Parser& p, std::string&) { return p.boardAction(Psu, 0); }},
        {"boardInfo", Psu, Command::Misc, 4, false, true,
         [](Parser& p, std::string& out) {
             BoardInfo info;
             info.boardName = "none";
             ErrorCode code = p.boardInfoGet(Psu, info);
             out = joined(info.firmwareName, info.firmwareVersion, info.boardName,
                          info.boardVersion, hex(info.boardId));
             return code;
         }},
        {"scratchpad", Psu, Command::Misc, 4, false, true,
         [](Parser& p, std::string& out) {
             int32_t value = 99;
             ErrorCode code = p.scratchpadSet(Psu, 3, value);
             int32_t read = -7;
             if (code == ErrorCode::Success) {
                 code = p.scratchpadGet(Psu, 3, read);
             }
             out = joined(value, read);
             return code;
         }},
        {"lightPattern", Light, Command::Misc, 0, false, true,
         [](Parser& p, std::string&) {
             return p.lightPatternPlay(Light, 20, {PatternStep{1, 2, 3, 100, true}}, 1);
         }},
        {"network", Main, Command::Misc, 11, false, true,
         [](Parser& p, std::string& out) {
             bool link = false;
             std::array<uint8_t, 6> mac{};
             std::array<uint8_t, 4> ip{}, netmask{}, gateway{}, dns{};
             ErrorCode code = p.mainNetworkStatusGet(link, mac, ip);
             if (code == ErrorCode::Success) {
                 code = p.mainNetworkIpGet(ip, netmask, gateway);
             }
             if (code == ErrorCode::Success) {
                 code = p.mainNetworkDnsGet(dns);
             }
             out = joined(link, hex(mac), hex(ip), hex(netmask), hex(gateway), hex(dns));
             return code;
         }},
        {"networkSet", Main, Command::Misc, 2, false, true,
         [](Parser& p, std::string& out) {
             uint16_t port = 10000;
             bool dhcp = false;
             ErrorCode code = p.mainNetworkBoardServerSet(port);
             if (code == ErrorCode::Success) {
                 code = p.mainNetworkDhcpSet(dhcp);
             }
             out = joined(port, dhcp);
             return code;
         }},
        {"busReport", Main, Command::Misc, 7, false, false,
         [](Parser& p, std::string&) {
             BusReport report;
             return p.mainBusStatisticsGet(report);
         }},
        {"clock", Main, Command::Misc, 4, false, true,
         [](Parser& p, std::string& out) {
             int32_t clock = 1700000000;
             ErrorCode code = p.mainTimestampSet(clock);
             out = joined(clock);
             return code;
         }},
        {"bootloader", Psu, Command::Misc, 2, false, true,
         [](Parser& p, std::string& out) {
             Status status;
             Flags read;
             // The word the simulated psu starts with: a corrupted read
             // written back would change the board for the later runs.
             Flags written(FlagsFlash::flash_flags, std::bitset<16>(0xC1));
             ErrorCode code = p.bootloaderStatusGet(Psu, status);
             if (code == ErrorCode::Success) {
                 code = p.bootloaderFlagsGet(Psu, read);
             }
             if (code == ErrorCode::Success) {
                 code = p.bootloaderFlagsSet(Psu, written);
             }
             out = joined(status.toBitset(), read.toBitset(), written.toBitset());
             return code;
         }},
        {"fileRoundTrip", Main, Command::Misc, 2, true, true,
         [](Parser& p, std::string& out) {
             Bytes const content = counting(300, 1);
             ErrorCode code = p.mainFileTransmit("fuzz.bin", content, true);
             Bytes data;
             uint32_t size = 0;
             std::array<uint8_t, 16> md5{};
             if (code == ErrorCode::Success) {
                 code = p.mainFileReceive("fuzz.bin", data);
             }
             if (code == ErrorCode::Success) {
                 code = p.mainFileChecksum("fuzz.bin", size, md5);
             }
             if (code == ErrorCode::Success) {
                 code = p.mainFileDelete("fuzz.bin");
             }
             out = joined(hex(data), size, hex(md5));
             if (code == ErrorCode::Success &&
                 (data != content || size != content.size() || md5 != MD5::calculate(content))) {
                 out += "decoded wrong";
             }
             return code;
         }},
        {"firmwareUpload", Psu, Command::Misc, 2, true, true,
         [](Parser& p, std::string&) {
             return p.boardOtaFirmwareUpgradeExecute(Psu, counting(300, 9), 1);
         }},
    };
}

// A corruption of the replies. An undecodable one leaves no reply the command
// could decode, so the command must fail; a caught one may not pass wrong
// data off as a success.
struct Fault {
    boardsim::Action action;
    bool undecodable;
    bool caught;
};

Fault randomFault(std::mt19937& random, Operation const& operation) {
    using boardsim::Action;
    for (;;) {
        switch (below(random, 11)) {
        case 0:
            if (operation.minimum == 0) {
                continue;
            }
            return {Action::truncated(below(random, operation.minimum)), true, true};
        case 1:
            return {Action::errorWithPayload(static_cast<uint8_t>(0x81 + below(random, 7)),
                                             1 + below(random, 8)),
                    true, true};
        case 2: {
            uint8_t command = static_cast<uint8_t>(random());
            if (command == static_cast<uint8_t>(operation.command) || (command & 0xF0) == 0x80) {
                continue;
            }
            return {Action::withCommand(command), true, true};
        }
        case 3: {
            uint8_t address = static_cast<uint8_t>(random());
            if (address == Packet::AddressHost) {
                continue;
            }
            return {Action::fromAddress(address), true, true};
        }
        case 4:
            if (operation.waitsLong) { // silence would cost 5000 ms
                continue;
            }
            return {Action::shortReply(below(random, 4)), true, true};
        case 5:
            if (operation.waitsLong) {
                continue;
            }
            return {Action::seqPlus(static_cast<int>(3 + below(random, 250))), true, true};
        case 6:
            return {Action::withPayload(randomBytes(random, below(random, 40))), false, false};
        case 7:
            return {Action::appended(randomBytes(random, 1 + below(random, 20))), false, false};
        case 8:
            // No segment of a file holds that much.
            return {Action::oversized(513 + below(random, 200)), false, true};
        case 9:
            return {Action::duplicated(static_cast<int>(below(random, 3))), false, false};
        default: {
            // Random bytes as a datagram before the reply, sequence number
            // of a reply long gone.
            Bytes frame = randomBytes(random, below(random, 24));
            if (frame.size() > 1) {
                frame[1] = 0xEE;
            }
            return {Action::unsolicitedFrame(frame), false, false};
        }
        }
    }
}

class RobustnessBus : public CommandsBus {
protected:
    // Brings the main board and `address` online again after a fault.
    void online(uint8_t address) {
        sim.clearRules();
        for (int attempt = 0; attempt < 3 && !parser.isOnline(address); ++attempt) {
            heartbeat(Main);
            heartbeat(address);
        }
        ASSERT_TRUE(parser.isOnline(address));
    }

    std::map<std::string, std::pair<ErrorCode, std::string>>
    cleanRun(std::vector<Operation> const& table) {
        std::map<std::string, std::pair<ErrorCode, std::string>> results;
        for (Operation const& operation : table) {
            online(operation.address);
            std::string out;
            ErrorCode const code = operation.run(parser, out);
            results[operation.name] = {code, operation.stable ? out : ""};
        }
        return results;
    }
};

TEST_F(RobustnessBus, EveryCommandSurvivesCorruptedRepliesAndRecovers) {
    std::vector<Operation> const table = operations();
    auto const before = cleanRun(table);
    for (auto const& [name, result] : before) {
        EXPECT_EQ(result.first, ErrorCode::Success) << name << ": " << result.second;
    }

    std::mt19937 random(1312);
    Budget budget(10000ms);
    int runs = 0;
    for (int round = 0; round < 6 && !budget.spent(); ++round) {
        for (Operation const& operation : table) {
            online(operation.address);
            Fault const fault = randomFault(random, operation);
            boardsim::Rule rule;
            rule.match.address = operation.address;
            rule.match.command = static_cast<uint8_t>(operation.command);
            rule.action = fault.action;
            // An undecodable reply comes every time; the others now and then,
            // so that retries and restarted transfers meet clean replies too.
            rule.probability = fault.undecodable ? 1.0 : 0.5;
            rule.seed = static_cast<uint32_t>(random());
            int const id = sim.addRule(rule);

            std::string out;
            ErrorCode const code = operation.run(parser, out);
            ++runs;
            SCOPED_TRACE(::testing::Message()
                         << operation.name << " round " << round << " rule uses "
                         << sim.ruleUses(id) << ": " << ec2str(code));
            EXPECT_TRUE(knownResult(code)) << static_cast<int>(code);
            if (fault.undecodable && sim.ruleUses(id) > 0) {
                EXPECT_NE(code, ErrorCode::Success) << out;
            }
            if (fault.caught) {
                EXPECT_EQ(out.find("decoded wrong"), std::string::npos) << out;
            }
        }
    }
    EXPECT_GT(runs, static_cast<int>(table.size()));

    // No fault left a trace: every command works as it did before.
    EXPECT_EQ(cleanRun(table), before);
}

// Commands from several threads at once while replies come twice, come with
// strangers in front or arrive garbled: every call ends with a result, and
// the bus works as before once the faults are gone.
TEST_F(RobustnessBus, CommandsFromSeveralThreadsUnderFaults) {
    std::vector<Operation> const table = operations();
    auto const before = cleanRun(table);

    using boardsim::Action;
    Action const faults[] = {Action::duplicated(0), Action::unsolicitedFrame({201, 0xEE, 1, 0}),
                             Action::appended({0xEE}), Action::errorWithPayload(0x81, 2),
                             Action::withPayload({})};
    uint32_t seed = 5;
    for (Action const& fault : faults) {
        boardsim::Rule rule;
        rule.action = fault;
        rule.probability = 0.15;
        rule.seed = seed++;
        sim.addRule(rule);
    }

    std::atomic<int> unknown{0};
    std::atomic<int> calls{0};
    auto worker = [&](size_t first) {
        Budget budget(1500ms);
        for (size_t i = first; i < first + 200 && !budget.spent(); ++i) {
            Operation const& operation = table[i % table.size()];
            heartbeat(Main);
            heartbeat(operation.address);
            std::string out;
            if (!knownResult(operation.run(parser, out))) {
                ++unknown;
            }
            ++calls;
        }
    };
    std::vector<std::thread> threads;
    for (size_t first = 0; first < 3; ++first) {
        threads.emplace_back(worker, first * 7);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unknown, 0);
    EXPECT_GT(calls, 3);
    EXPECT_EQ(cleanRun(table), before);
}

// A read segment longer than any segment of a file would have its surplus
// written into the received file; the receive refuses it instead.
TEST_F(RobustnessBus, FileSegmentLongerThanASegmentIsRefused) {
    constexpr uint8_t FileSlot = 241, ReadSub = 2;
    Bytes const content = counting(300, 1);
    struct Case {
        char const* name;
        size_t extra; // bytes appended to the reply of segment 2
        ErrorCode expected;
        size_t received;
    };
    Case const cases[] = {
        {"one byte too many", 1, ErrorCode::MalformedResponse, 128},
        {"a datagram's worth", 380, ErrorCode::MalformedResponse, 128},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        online(Main);
        sim.putFile("f.bin", content);
        onSegment(Main, FileSlot, ReadSub, 2, boardsim::Action::appended(Bytes(c.extra, 0xEE)));
        Bytes data;
        EXPECT_EQ(parser.mainFileReceive("f.bin", data), c.expected);
        EXPECT_EQ(data, Bytes(content.begin(), content.begin() + c.received));
    }
    // Full segments of exactly 128 bytes are what a file is made of.
    online(Main);
    sim.putFile("g.bin", counting(256, 3));
    Bytes data;
    EXPECT_EQ(parser.mainFileReceive("g.bin", data), ErrorCode::Success);
    EXPECT_EQ(data, counting(256, 3));
}

} // namespace
} // namespace bustest

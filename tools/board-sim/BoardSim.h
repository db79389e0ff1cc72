#pragma once

#include "Counters.h"
#include "FaultRule.h"
#include "FaultRules.h"
#include "FileStore.h"
#include "Machine.h"
#include "Mutex.h"
#include "RequestLog.h"
#include "Scenario.h"
#include "ThreadSafety.h"
#include "TimerQueue.h"
#include "UdpServer.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace boardsim {

enum class SlotTable { Telemetry, Config };

// The boards of the machine behind a loopback UDP port: the main board at
// address 0 is the gateway, the others answer through it. Every method is
// thread-safe. Methods that name a board or slot the scenario lacks throw
// std::out_of_range.
class BoardSim {
public:
    BoardSim(); // the default scenario
    explicit BoardSim(Scenario const& startScenario);
    explicit BoardSim(nlohmann::json const& scenarioJson); // throws ScenarioError
    ~BoardSim();
    BoardSim(BoardSim const&) = delete;
    BoardSim& operator=(BoardSim const&) = delete;

    // Binds UDP on address:port (0 = ephemeral) and starts answering; returns
    // the bound port. Any address but 127.0.0.1 throws std::invalid_argument;
    // socket failures throw std::system_error.
    uint16_t start(uint16_t port = 0, std::string const& address = "127.0.0.1");
    void stop(); // held and delayed replies are discarded
    uint16_t port() const;

    // Fault rules, evaluated in insertion order; ids start at 1.
    int addRule(Rule const& rule);
    bool removeRule(int id);
    void clearRules();
    uint32_t ruleUses(int id) const;
    // Sends the replies queued by `hold` rules, in arrival order.
    void release();
    size_t heldCount() const;
    // Sends a datagram to the source of the last request (nothing when none came yet).
    void sendUnsolicited(Bytes const& bytes);

    // Gateway and presence.
    void setGatewayOnline(bool online);
    void setPresent(uint8_t address, bool present);
    void setAbsentMode(Silence mode);
    void setUnknownAddressMode(Silence mode);
    bool isBooting(uint8_t address) const;
    // Blocks until the board left its boot window, or timeoutMs ran out.
    bool waitBooted(uint8_t address, int timeoutMs) const;

    // Reboot: uptime 0, scratchpad cleared, pending firmware installed, boot window.
    void reboot(uint8_t address);
    // Reboot plus configuration back to the scenario values.
    void powerCycle(uint8_t address);
    // Scenario and state back to the start; the rules and logs are cleared.
    void reset();

    // Slot values.
    void setRaw(uint8_t address, SlotTable table, uint8_t slot, int32_t raw);
    int32_t raw(uint8_t address, SlotTable table, uint8_t slot) const;
    void setStatus(uint8_t address, uint32_t status, uint32_t errors);
    void setStatusText(uint8_t address, uint8_t slot, int32_t code, std::string const& text);
    void setUptime(uint8_t address, uint32_t seconds);

    // Board information.
    void setBoardInfo(uint8_t address, BoardInfo const& info);
    BoardInfo boardInfo(uint8_t address) const;

    // Bootloader words and the firmware waiting for the next reboot.
    void setBootloaderStatus(uint8_t address, uint16_t status);
    void setBootloaderFlags(uint8_t address, uint16_t flags);
    uint16_t bootloaderStatus(uint8_t address) const;
    uint16_t bootloaderFlags(uint8_t address) const;
    std::optional<Bytes> pendingFirmware(uint8_t address) const;

    // Scratchpad cells 0..255.
    void setScratchpad(uint8_t address, uint8_t index, int32_t value);
    int32_t scratchpad(uint8_t address, uint8_t index) const;

    // Main board.
    void setClock(int32_t clock);
    int32_t clock() const;
    void setNetwork(Network const& network);
    Network network() const;
    void setBusReport(BusReport const& report);
    void setBusReportAuto();
    void setPassword(std::string const& password);
    std::optional<Preauth> preauth() const;
    bool disarmed() const;
    void setLegacyChecksum(bool legacy);
    void setOpenMissing(OpenMissing mode);
    void setLastWriteResult(int16_t result);
    void setLastReadResult(int16_t result);

    // Main-board files.
    void putFile(std::string const& name, Bytes const& content);
    std::optional<Bytes> file(std::string const& name) const;
    bool deleteFile(std::string const& name);
    std::vector<FileEntry> files() const; // sorted by name

    // Reply modes.
    void setHeartbeatPayload(HeartbeatPayload mode, Bytes const& bytes = {});
    void setRebootReply(RebootReply mode);
    void setNoTerminator(bool on);

    // Observation.
    std::vector<RequestRecord> requests() const;
    void clearRequests();
    // A long-running simulator keeps only the newest `limit` requests (0: all, the default).
    void setRequestLogLimit(size_t limit);
    size_t requestCount(Filter const& filter) const;
    // Blocks until `count` matching requests were handled (state changed and
    // reply sent or scheduled), or timeoutMs ran out.
    bool waitFor(Filter const& filter, size_t count, int timeoutMs) const;
    Counters const& counters() const;

private:
    struct Held {
        Bytes datagram;
        Peer to;
        std::optional<int> duplicateGapMs;
    };

    void onDatagram(Bytes const& datagram, Peer const& from);
    // The reply as the rules bend it; empty when there is none.
    static Bytes shape(Machine::Outcome const& outcome, Action const& action);
    // Sends the reply now or after the rule's delay.
    void deliver(Bytes const& reply, Peer const& to, Action const& action);
    void sendWithDuplicate(Bytes const& datagram, Peer const& to, std::optional<int> gapMs);

    const Scenario scenario;
    RequestLog log;
    Counters boardCounters;
    std::unique_ptr<Machine> machine;
    FaultRules rules;
    Mutex peerMutex;
    std::optional<Peer> lastPeer SIM_GUARDED_BY(peerMutex);
    mutable Mutex heldMutex;
    std::vector<Held> held SIM_GUARDED_BY(heldMutex);
    // Declared last: stopped first, so no datagram or timer reaches the members above.
    std::unique_ptr<UdpServer> server;
    std::unique_ptr<TimerQueue> timers;
};

} // namespace boardsim

#pragma once

#include "Answer.h"
#include "Counters.h"
#include "FirmwareReceiver.h"
#include "Frame.h"
#include "Scenario.h"

#include <array>
#include <chrono>
#include <map>
#include <optional>

namespace boardsim {

// One simulated board and the commands every board answers. Not thread-safe:
// its owner serialises every call.
class Board {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr uint8_t MiscReboot = 0;
    static constexpr uint8_t MiscRestore = 1;
    static constexpr uint8_t MiscInfo = 2;
    static constexpr uint8_t MiscBootloader = 240;
    static constexpr uint8_t MiscScratchpad = 255;

    Board(BoardSpec const& boardSpec, Clock::time_point now);

    // Commands 0-4, 127 and the Misc slots every board has; nothing for other Misc slots.
    std::optional<Answer> handle(Frame const& request, Clock::time_point now,
                                 Behaviour const& behaviour, Counters& counters);

    // Uptime 0, scratchpad cleared, a committed image installed, boot window.
    void reboot(Clock::time_point now, Counters& counters);
    void restoreDefaults();
    void powerCycle(Clock::time_point now, Counters& counters);

    bool awake(Clock::time_point now) const { return present && now >= bootDeadline; }
    bool booting(Clock::time_point now) const { return now < bootDeadline; }
    Clock::time_point bootUntil() const { return bootDeadline; }
    uint32_t uptime(Clock::time_point now) const;
    void setUptime(Clock::time_point now, uint32_t seconds);
    SlotSpec& slot(bool configTable, uint8_t slot); // throws std::out_of_range
    std::string summarize(Frame const& request) const;

    // State the controls read and write directly.
    bool present = true;
    BoardInfo info;
    uint32_t status = 0;
    uint32_t errors = 0;
    std::map<uint8_t, StatusText> statusN;
    std::array<int32_t, 256> scratchpad{};
    uint16_t bootloaderStatus = 0;
    uint16_t bootloaderFlags = 0;
    std::optional<Bytes> pending; // committed image, installed at the next reboot

private:
    Answer heartbeat(Clock::time_point now, Behaviour const& behaviour) const;
    Answer statusRead(uint8_t slot, Behaviour const& behaviour) const;
    Answer slotRead(std::map<uint8_t, SlotSpec> const& table, uint8_t slot) const;
    Answer configSet(Frame const& request, Counters& counters);
    Answer action(uint8_t slot, Counters& counters);
    Answer boardInfo() const;
    Answer bootloader(Bytes const& payload, Counters& counters);
    Answer scratchpadCommand(Bytes const& payload);
    Answer pattern(Frame const& request, Counters& counters);

    const BoardSpec spec;
    std::map<uint8_t, SlotSpec> telemetry;
    std::map<uint8_t, SlotSpec> config;
    FirmwareReceiver receiver;
    std::optional<size_t> upload; // index of the running upload in the counters
    Clock::time_point bootStart;
    Clock::time_point bootDeadline;
    uint32_t uptimeBase = 0;
};

} // namespace boardsim

#pragma once

#include "Answer.h"
#include "Board.h"
#include "Counters.h"
#include "FileStore.h"
#include "Frame.h"
#include "Lock.h"
#include "Mutex.h"
#include "Scenario.h"
#include "ThreadSafety.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace boardsim {

// The gateway and the boards behind it: routes each request, runs it and
// answers as the machine would. Thread-safe; one lock guards all state.
class Machine {
public:
    using Clock = std::chrono::steady_clock;

    struct Outcome {
        std::optional<Frame> reply; // nothing: no answer at all
        bool echo = false;
        bool result = false;
    };

    Machine(Scenario const& scenario, Counters& sharedCounters);
    // Everything back to the scenario.
    void reset(Scenario const& scenario);

    Outcome handle(Frame const& request);
    // A one-line description of the request, from its bytes and the transfer state.
    std::string summarize(Frame const& request) const;
    // Payload bytes from this offset on are a password and never shown.
    static std::optional<size_t> secretFrom(Frame const& request);

    // Controls. Unknown addresses throw std::out_of_range.
    template <typename F> auto withBoard(uint8_t address, F f) {
        Lock lock(mutex);
        return f(board(address), Clock::now());
    }
    template <typename F> auto withBoard(uint8_t address, F f) const {
        Lock lock(mutex);
        return f(board(address), Clock::now());
    }
    template <typename F> auto withMain(F f) const {
        Lock lock(mutex);
        return f(main);
    }
    template <typename F> auto withMain(F f) {
        Lock lock(mutex);
        return f(main);
    }
    void setGatewayOnline(bool online);
    void reboot(uint8_t address);
    void powerCycle(uint8_t address);
    int32_t clock() const;
    void setClock(int32_t clock);

    // Main-board state beside the boards.
    struct Main {
        Behaviour behaviour;
        Network network;
        std::optional<BusReport> busReport;
        std::string password;
        std::optional<Preauth> preauth;
        bool disarmed = false;
        bool legacyChecksum = false;
        FileStore files{{}};
    };

private:
    Board& board(uint8_t address) SIM_REQUIRES(mutex);
    Board const& board(uint8_t address) const SIM_REQUIRES(mutex);
    Outcome answer(Frame const& request, Answer const& answer) const;
    Outcome broadcast(Frame const& request, Clock::time_point now) SIM_REQUIRES(mutex);
    Answer mainOnly(Frame const& request) SIM_REQUIRES(mutex);
    Answer network(Bytes const& payload) SIM_REQUIRES(mutex);
    Answer security(Bytes const& payload) SIM_REQUIRES(mutex);
    Answer disarm(Bytes const& payload) SIM_REQUIRES(mutex);
    Answer clockCommand(Bytes const& payload) SIM_REQUIRES(mutex);
    BusReport busReportLocked(Clock::time_point now) const SIM_REQUIRES(mutex);
    int32_t clockLocked(Clock::time_point now) const SIM_REQUIRES(mutex);

    Counters& counters;
    mutable Mutex mutex;
    std::map<uint8_t, Board> boards SIM_GUARDED_BY(mutex);
    Main main SIM_GUARDED_BY(mutex);
    int32_t clockBase SIM_GUARDED_BY(mutex) = 0;
    Clock::time_point clockSetAt SIM_GUARDED_BY(mutex);
    // Frames forwarded to the boards behind the gateway, and their answers.
    uint16_t toBoards SIM_GUARDED_BY(mutex) = 0;
    uint16_t fromBoards SIM_GUARDED_BY(mutex) = 0;
};

} // namespace boardsim

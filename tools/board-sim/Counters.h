#pragma once

#include "Mutex.h"
#include "ThreadSafety.h"

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace boardsim {

struct TransitionRecord {
    uint8_t address = 0;
    uint8_t slot = 0;
    uint32_t target = 0; // the stored 24-bit value
    bool transition = false;
};

struct PatternStep {
    uint8_t b = 0;
    uint8_t g = 0;
    uint8_t r = 0;
    uint8_t t = 0;
    uint32_t durationMs = 0;
};

struct PatternRecord {
    uint8_t address = 0;
    uint8_t slot = 0;
    uint8_t repeat = 0;
    std::vector<PatternStep> steps;
};

struct UploadRecord {
    uint8_t address = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
    uint16_t count = 0;
    bool committed = false;
    bool installed = false;
};

// Everything the simulated boards were asked to do, for tests to check.
class Counters {
public:
    void request(uint8_t address, uint8_t command, uint8_t slot);
    void action(uint8_t address, uint8_t slot);
    void reboot(uint8_t address);
    void transition(TransitionRecord const& record);
    void pattern(PatternRecord const& record);
    void disarmAttempt();
    // Returns the index to update when the upload commits or installs.
    size_t uploadStarted(UploadRecord const& record);
    void uploadCommitted(size_t index);
    void uploadInstalled(uint8_t address);

    uint64_t requests(uint8_t address, uint8_t command, uint8_t slot) const;
    uint64_t actions(uint8_t address, uint8_t slot) const;
    uint64_t reboots(uint8_t address) const;
    std::vector<TransitionRecord> transitions() const;
    std::vector<PatternRecord> patterns() const;
    uint64_t disarmAttempts() const;
    std::vector<UploadRecord> uploads() const;
    void clear();

private:
    mutable Mutex mutex;
    std::map<std::tuple<uint8_t, uint8_t, uint8_t>, uint64_t> requestCounts SIM_GUARDED_BY(mutex);
    std::map<std::pair<uint8_t, uint8_t>, uint64_t> actionCounts SIM_GUARDED_BY(mutex);
    std::map<uint8_t, uint64_t> rebootCounts SIM_GUARDED_BY(mutex);
    std::vector<TransitionRecord> transitionRecords SIM_GUARDED_BY(mutex);
    std::vector<PatternRecord> patternRecords SIM_GUARDED_BY(mutex);
    uint64_t disarmAttemptCount SIM_GUARDED_BY(mutex) = 0;
    std::vector<UploadRecord> uploadRecords SIM_GUARDED_BY(mutex);
};

} // namespace boardsim

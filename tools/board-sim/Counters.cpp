#include "Counters.h"

#include "Lock.h"

namespace boardsim {

namespace {

template <typename Map, typename Key> uint64_t lookup(Map const& map, Key const& key) {
    auto it = map.find(key);
    return it == map.end() ? 0 : it->second;
}

} // namespace

void Counters::request(uint8_t address, uint8_t command, uint8_t slot) {
    Lock lock(mutex);
    ++requestCounts[{address, command, slot}];
}

void Counters::action(uint8_t address, uint8_t slot) {
    Lock lock(mutex);
    ++actionCounts[{address, slot}];
}

void Counters::reboot(uint8_t address) {
    Lock lock(mutex);
    ++rebootCounts[address];
}

void Counters::transition(TransitionRecord const& record) {
    Lock lock(mutex);
    transitionRecords.push_back(record);
}

void Counters::pattern(PatternRecord const& record) {
    Lock lock(mutex);
    patternRecords.push_back(record);
}

void Counters::disarmAttempt() {
    Lock lock(mutex);
    ++disarmAttemptCount;
}

size_t Counters::uploadStarted(UploadRecord const& record) {
    Lock lock(mutex);
    uploadRecords.push_back(record);
    return uploadRecords.size() - 1;
}

void Counters::uploadCommitted(size_t index) {
    Lock lock(mutex);
    if (index < uploadRecords.size()) {
        uploadRecords[index].committed = true;
    }
}

void Counters::uploadInstalled(uint8_t address) {
    Lock lock(mutex);
    for (auto it = uploadRecords.rbegin(); it != uploadRecords.rend(); ++it) {
        if (it->address == address && it->committed) {
            it->installed = true;
            return;
        }
    }
}

uint64_t Counters::requests(uint8_t address, uint8_t command, uint8_t slot) const {
    Lock lock(mutex);
    return lookup(requestCounts, std::make_tuple(address, command, slot));
}

uint64_t Counters::actions(uint8_t address, uint8_t slot) const {
    Lock lock(mutex);
    return lookup(actionCounts, std::make_pair(address, slot));
}

uint64_t Counters::reboots(uint8_t address) const {
    Lock lock(mutex);
    return lookup(rebootCounts, address);
}

std::vector<TransitionRecord> Counters::transitions() const {
    Lock lock(mutex);
    return transitionRecords;
}

std::vector<PatternRecord> Counters::patterns() const {
    Lock lock(mutex);
    return patternRecords;
}

uint64_t Counters::disarmAttempts() const {
    Lock lock(mutex);
    return disarmAttemptCount;
}

std::vector<UploadRecord> Counters::uploads() const {
    Lock lock(mutex);
    return uploadRecords;
}

void Counters::clear() {
    Lock lock(mutex);
    requestCounts.clear();
    actionCounts.clear();
    rebootCounts.clear();
    transitionRecords.clear();
    patternRecords.clear();
    disarmAttemptCount = 0;
    uploadRecords.clear();
}

} // namespace boardsim

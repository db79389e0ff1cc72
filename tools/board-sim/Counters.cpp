#include "Counters.h"

namespace boardsim {

namespace {

template <typename Map, typename Key> uint64_t lookup(Map const& map, Key const& key) {
    auto it = map.find(key);
    return it == map.end() ? 0 : it->second;
}

} // namespace

void Counters::request(uint8_t address, uint8_t command, uint8_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[{address, command, slot}];
}

void Counters::action(uint8_t address, uint8_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++actions_[{address, slot}];
}

void Counters::reboot(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reboots_[address];
}

void Counters::transition(TransitionRecord const& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    transitions_.push_back(record);
}

void Counters::pattern(PatternRecord const& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    patterns_.push_back(record);
}

void Counters::disarmAttempt() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++disarmAttempts_;
}

size_t Counters::uploadStarted(UploadRecord const& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    uploads_.push_back(record);
    return uploads_.size() - 1;
}

void Counters::uploadCommitted(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < uploads_.size()) {
        uploads_[index].committed = true;
    }
}

void Counters::uploadInstalled(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = uploads_.rbegin(); it != uploads_.rend(); ++it) {
        if (it->address == address && it->committed) {
            it->installed = true;
            return;
        }
    }
}

uint64_t Counters::requests(uint8_t address, uint8_t command, uint8_t slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookup(requests_, std::make_tuple(address, command, slot));
}

uint64_t Counters::actions(uint8_t address, uint8_t slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookup(actions_, std::make_pair(address, slot));
}

uint64_t Counters::reboots(uint8_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookup(reboots_, address);
}

std::vector<TransitionRecord> Counters::transitions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transitions_;
}

std::vector<PatternRecord> Counters::patterns() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return patterns_;
}

uint64_t Counters::disarmAttempts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return disarmAttempts_;
}

std::vector<UploadRecord> Counters::uploads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_;
}

void Counters::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    actions_.clear();
    reboots_.clear();
    transitions_.clear();
    patterns_.clear();
    disarmAttempts_ = 0;
    uploads_.clear();
}

} // namespace boardsim

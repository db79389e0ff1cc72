#include "support/EngineEvents.h"

#include <algorithm>
#include <chrono>

namespace enginetest {

using velt::ZRV480::Bus::Common::ErrorCode;

namespace {

template <typename... Args, typename Slot>
std::function<void()> attach(Signal<Args...>& signal, Slot slot) {
    int const id = signal.connect(slot);
    return [&signal, id] { signal.disconnect(id); };
}

std::string percent(float value) {
    return std::to_string(static_cast<int>(value));
}

} // namespace

EngineEvents::EngineEvents(Engine& engine) {
    disconnects = {
        attach(engine.boardOnline,
               [this](uint8_t address) { record("online " + std::to_string(address)); }),
        attach(engine.boardOffline,
               [this](uint8_t address) { record("offline " + std::to_string(address)); }),
        attach(engine.boardConfigChanged, [this] { record("configChanged"); }),
        attach(engine.stopped, [this] { record("stopped"); }),
        attach(engine.fileTransmitFinished,
               [this](ErrorCode code) {
                   record("transmitFinished " + std::to_string(static_cast<int>(code)));
               }),
        attach(engine.fileReceiveFinished,
               [this](ErrorCode code) {
                   record("receiveFinished " + std::to_string(static_cast<int>(code)));
               }),
        attach(engine.fileTransmitProgress,
               [this](float value) { record("transmitProgress " + percent(value)); }),
        attach(engine.fileReceiveProgress,
               [this](float value) { record("receiveProgress " + percent(value)); }),
    };
}

EngineEvents::~EngineEvents() {
    for (auto const& disconnect : disconnects) {
        disconnect();
    }
}

void EngineEvents::record(std::string const& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    changed.notify_all();
}

size_t EngineEvents::count(std::string const& event) const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

bool EngineEvents::waitFor(std::string const& event, size_t times, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count(events.begin(), events.end(), event)) >= times;
    });
}

std::vector<std::string> EngineEvents::all() const {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
}

} // namespace enginetest

#include "support/UpgradeEvents.h"

#include "bus/ErrorCode.h"

#include <chrono>

namespace enginetest {

using velt::ZRV480::BoardManager::Manager::Status;
using velt::ZRV480::Bus::Common::ErrorCode;

UpgradeEvents::UpgradeEvents(Engine& watched) : engine(watched) {
    watched.firmwareUpgradeProgress.connect([this](uint8_t address, float percent) {
        std::lock_guard<std::mutex> lock(mutex);
        steps.emplace_back(address, percent);
    });
    engine.firmwareUpgradeFinished.connect([this](uint8_t address, ErrorCode code) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back("finished " + std::to_string(address) + " " +
                         velt::ZRV480::Bus::Common::ec2str(code));
        changed.notify_all();
    });
    engine.statusChanged.connect([this](Status const& status) {
        // The reports as they stand when the status is announced.
        Firmwares const now = this->engine.firmwareUpgradeGet();
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back("status " + Status::firmwareUpgradeToStr(status.getFirmwareUpgrade()));
        reports.push_back(now);
        changed.notify_all();
    });
}

bool UpgradeEvents::waitEvents(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return events.size() >= count; });
}

std::vector<std::string> UpgradeEvents::sequence() const {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
}

std::vector<std::pair<uint8_t, float>> UpgradeEvents::progress() const {
    std::lock_guard<std::mutex> lock(mutex);
    return steps;
}

std::vector<UpgradeEvents::Firmwares> UpgradeEvents::reportsAtStatus() const {
    std::lock_guard<std::mutex> lock(mutex);
    return reports;
}

} // namespace enginetest

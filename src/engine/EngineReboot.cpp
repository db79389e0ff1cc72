#include "engine/Engine.h"

#include "bus/ErrorCode.h"
#include "bus/Parser.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace velt::ZRV480::BoardManager::Manager {

using Bus::Common::ec2str;
using Bus::Common::ErrorCode;
using namespace std::chrono_literals;

namespace {

constexpr char const* PowerSupplyName = "psu";
// Status slots of the power supply whose code 0 says that mains power is there.
constexpr uint8_t MainsLostSlot = 4;
constexpr uint8_t OnBatterySlot = 6;
constexpr auto RebootWait = 10000ms;
constexpr auto PollInterval = 100ms;

} // namespace

bool Engine::poweredByMains() const {
    for (auto const& [address, board] : boards) {
        if (board.getName() != PowerSupplyName) {
            continue;
        }
        auto const& statuses = board.getStatuses();
        if (statuses.count(MainsLostSlot) == 0 || statuses.count(OnBatterySlot) == 0) {
            return true;
        }
        return readCache(state, address, [](BoardCache const& cache) {
            return cache.statuses.at(MainsLostSlot).second.first == 0 ||
                   cache.statuses.at(OnBatterySlot).second.first == 0;
        });
    }
    return false;
}

ErrorCode Engine::boardReboot(uint8_t address) {
    if (boards.at(address).getName() == PowerSupplyName && !poweredByMains()) {
        log(Log::Level::Warning, "Refusing PSU reboot because system is on batteries");
        return ErrorCode::OnBatteries;
    }
    firmwareUpgrades.dropReport(address);
    ErrorCode const result = parser.boardReboot(address);
    // The board may restart before it answers.
    if (result != ErrorCode::Success && result != ErrorCode::Timeout &&
        result != ErrorCode::BusTimeout) {
        return result;
    }
    changeCache(state, address, [](BoardCache& cache) {
        cache.initialized = false;
        cache.firmwareOk = false;
        cache.initAttempts = 0;
    });
    return ErrorCode::Success;
}

ErrorCode Engine::boardRebootSync(uint8_t address) {
    std::string const boardName = boards.at(address).getName();
    std::promise<void> online;
    std::shared_future<void> const answered = online.get_future().share();
    std::atomic<bool> fulfilled{false};
    // Emissions of the signal are serialised by its own lock; the flag only
    // keeps a second one from fulfilling the promise again.
    int const connection = boardOnline.connect([&, address](uint8_t onlineAddress) {
        if (onlineAddress != address || fulfilled.exchange(true)) {
            return;
        }
        log(Log::Level::Warning, "Sync reboot callback called!");
        online.set_value();
    });

    ErrorCode const result = boardReboot(address);
    if (result != ErrorCode::Success) {
        log(Log::Level::Error, "Synchronous board reboot failed: %s", ec2str(result).c_str());
        boardOnline.disconnect(connection);
        return result;
    }

    std::atomic<bool> stopPolling{false};
    log(Log::Level::Info, "Launching monitor thread");
    std::thread poll([&, address] {
        while (answered.wait_for(PollInterval) != std::future_status::ready) {
            if (!running || stopPolling) {
                return;
            }
            log(Log::Level::Info, "Checking for %s heartbeat", boardName.c_str());
            monitor.cacheHeartbeat(address);
            if (readCache(state, address, [](BoardCache const& cache) {
                    return cache.heartbeat.first;
                }) == ErrorCode::Success) {
                boardOnline.emit(address);
                boardOnline.disconnect(connection);
                return;
            }
        }
    });
    // In steps, so that a stop ends the wait at once.
    auto const deadline = std::chrono::steady_clock::now() + RebootWait;
    bool ready = false;
    while (!ready && running && std::chrono::steady_clock::now() < deadline) {
        ready = answered.wait_for(PollInterval) == std::future_status::ready;
    }
    stopPolling = true;
    log(Log::Level::Info, "Joining monitor thread");
    poll.join();
    // The slot refers to this call's promise.
    boardOnline.disconnect(connection);
    return ready ? ErrorCode::Success : ErrorCode::Timeout;
}

ErrorCode Engine::broadcastReboot() {
    log(Log::Level::Warning, "broadcastReboot()");
    return parser.broadcastReboot();
}

ErrorCode Engine::broadcastRestoreDefaults() {
    log(Log::Level::Warning, "broadcastRestoreDefaults()");
    return parser.broadcastRestoreDefaults();
}

ErrorCode Engine::broadcastHeartbeat() {
    log(Log::Level::Warning, "broadcastHeartbeat()");
    return parser.broadcastHeartbeat();
}

} // namespace velt::ZRV480::BoardManager::Manager

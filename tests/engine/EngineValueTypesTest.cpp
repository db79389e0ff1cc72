#include "engine/BoardCache.h"
#include "engine/Config.h"
#include "engine/MonitorStatistics.h"
#include "engine/Status.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <thread>
#include <vector>

namespace enginetest {
namespace {

using testsupport::LogCapture;
using velt::ZRV480::BoardManager::Manager::BoardCache;
using velt::ZRV480::BoardManager::Manager::Config;
using velt::ZRV480::BoardManager::Manager::Monitoring;
using velt::ZRV480::BoardManager::Manager::MonitorStatistics;
using velt::ZRV480::BoardManager::Manager::Status;
using velt::ZRV480::Bus::Board;
using velt::ZRV480::Bus::SlotType;
using velt::ZRV480::Bus::Common::ErrorCode;
using Json = nlohmann::json;
using namespace std::chrono_literals;

Board boardWith(std::map<uint8_t, Board::Telemetry> const& telemetries,
                std::map<uint8_t, Board::Config> const& configs) {
    return Board(3, "probe", "probe.bin", 100, {{0, "fatal"}, {2, "hot"}}, telemetries, configs, {},
                 {});
}

TEST(BoardCacheTest, AFreshCacheHasNothingReadYet) {
    BoardCache const cache(
        boardWith({{1, {"t", SlotType::Int32, 0}}}, {{5, {"c", SlotType::Bool, 0, 0, 0}}}));
    EXPECT_FALSE(cache.firmwareOk);
    EXPECT_FALSE(cache.initialized);
    EXPECT_FALSE(cache.statusScanned);
    EXPECT_EQ(cache.initAttempts, 0u);
    // What no read filled answers Timeout ...
    EXPECT_EQ(cache.heartbeat.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.mainTimestamp.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.statusSlot0.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.boardInfo.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.bootloaderFlags.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.bootloaderStatus.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.telemetries,
              (std::map<uint8_t, BoardCache::Entry<Json>>{{1, {ErrorCode::Timeout, nullptr}}}));
    EXPECT_EQ(cache.configs,
              (std::map<uint8_t, BoardCache::Entry<Json>>{{5, {ErrorCode::Timeout, nullptr}}}));
    ASSERT_EQ(cache.statuses.size(), 2u);
    EXPECT_EQ(cache.statuses.at(0).first, ErrorCode::Timeout);
    EXPECT_EQ(cache.statuses.at(2).second, (std::pair<uint16_t, std::string>{0, ""}));
    EXPECT_TRUE(cache.boardInfo.second.boardName.empty());
    // ... the main board's network and bus report as well: no zeros pass
    // for values read.
    EXPECT_EQ(cache.mainNetworkIp.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.mainNetworkStatus.first, ErrorCode::Timeout);
    EXPECT_FALSE(std::get<0>(cache.mainNetworkStatus.second));
    EXPECT_EQ(cache.mainNetworkDns, (BoardCache::Entry<BoardCache::Ip>{ErrorCode::Timeout, {}}));
    EXPECT_EQ(cache.mainNetworkDhcp, (BoardCache::Entry<bool>{ErrorCode::Timeout, false}));
    EXPECT_EQ(cache.mainNetworkBoardServer, (BoardCache::Entry<uint16_t>{ErrorCode::Timeout, 0}));
    EXPECT_EQ(cache.mainBusStatistics.first, ErrorCode::Timeout);
    EXPECT_EQ(cache.mainBusStatistics.second.rx, 0);
}

TEST(BoardCacheTest, ABoardWithoutSlotsGetsEmptyMapsButStatusZero) {
    BoardCache const cache(boardWith({}, {}));
    EXPECT_TRUE(cache.telemetries.empty());
    EXPECT_TRUE(cache.configs.empty());
    EXPECT_EQ(cache.statuses.count(0), 1u);
}

TEST(BoardCacheTest, ACopyIsIndependent) {
    BoardCache const original(boardWith({{1, {"t", SlotType::Int32, 0}}}, {}));
    BoardCache copy = original;
    copy.telemetries.at(1) = {ErrorCode::Success, 4};
    copy.statuses.at(2).second.second = "changed";
    copy.boardInfo.second.firmwareName = "changed";
    EXPECT_EQ(original.telemetries.at(1).first, ErrorCode::Timeout);
    EXPECT_EQ(original.statuses.at(2).second.second, "");
    EXPECT_EQ(original.boardInfo.second.firmwareName, "");
}

TEST(EngineSettingsTest, DefaultsAndTheirJsonForm) {
    LogCapture log;
    Config config;
    EXPECT_EQ(log.count("[Engine::Config] Loading default configuration."), 1u) << log.text();
    EXPECT_EQ(config.toJson(), (Json{{"cacheBatchSize", 20},
                                     {"retransmissions", 2},
                                     {"statusPeriod", 5000},
                                     {"timeoutMs", 500}}));
    EXPECT_EQ(config.keys().size(), 4u);
    EXPECT_EQ(config.getStatusPeriod(), 5000u);
    EXPECT_EQ(config.getUdpTimeoutMs(), 500u);
    EXPECT_EQ(config.getRetransmit(), 2u);
    EXPECT_EQ(config.getCacheBatchSize(), 20u);
}

TEST(EngineSettingsTest, ValuesAreReadAsIntegersInAutomaticBase) {
    struct Case {
        Json stored;
        uint64_t expected;
    };
    Case const cases[] = {{"0x64", 100}, {"abc", 0}, {"010", 8}, {250, 250}, {0, 0}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.stored.dump());
        Config config;
        config.fromJson({{"timeoutMs", c.stored}});
        EXPECT_EQ(config.getUdpTimeoutMs(), c.expected);
    }
    Config config;
    config.fromJson({{"statusPeriod", 1000}, {"cacheBatchSize", 3}});
    config.defaults();
    EXPECT_EQ(config.getStatusPeriod(), 5000u);
    EXPECT_EQ(config.getCacheBatchSize(), 20u);
}

TEST(EngineSettingsTest, BoardDocumentsAreReplacedWhole) {
    Config config;
    EXPECT_TRUE(config.getBoardConfig(1).is_null());
    config.setBoardConfig(1, {{"a", 1}, {"b", 2}});
    config.setBoardConfig(1, {{"c", 3}});
    EXPECT_EQ(config.getBoardConfig(1), (Json{{"c", 3}}));
    EXPECT_TRUE(config.getBoardConfig(2).is_null());
}

TEST(ManagerStatusTest, ChangesAreFlaggedUntilAcknowledged) {
    Status status;
    EXPECT_EQ(status.toJson(), (Json{{"active", true}, {"firmwareUpgrade", "None"}}));
    EXPECT_FALSE(status.hasChanged());
    status.setFirmwareUpgrade(Status::FirmwareUpgrade::None);
    status.setIsActive(true);
    EXPECT_FALSE(status.hasChanged());
    status.setFirmwareUpgrade(Status::FirmwareUpgrade::PendingReboot);
    EXPECT_TRUE(status.hasChanged());
    // Setting the same state again never clears the flag.
    status.setFirmwareUpgrade(Status::FirmwareUpgrade::PendingReboot);
    EXPECT_TRUE(status.hasChanged());
    status.acknowledge();
    EXPECT_FALSE(status.hasChanged());
    status.setIsActive(false);
    EXPECT_TRUE(status.hasChanged());
    EXPECT_EQ(status.toJson(), (Json{{"active", false}, {"firmwareUpgrade", "PendingReboot"}}));
}

TEST(ManagerStatusTest, StateTexts) {
    struct Case {
        int value;
        char const* text;
    };
    Case const cases[] = {{0, "None"},
                          {1, "InProgress"},
                          {2, "PendingReboot"},
                          {3, "InProgress"},
                          {-1, "InProgress"}};
    for (auto const& c : cases) {
        EXPECT_EQ(Status::firmwareUpgradeToStr(static_cast<Status::FirmwareUpgrade>(c.value)),
                  c.text)
            << c.value;
    }
}

TEST(MonitoringCursorsTest, CursorsStartAtTheFirstSlotOfEachBoard) {
    Board::Config const option{"c", SlotType::Int32, 0, 0, 10};
    std::map<uint8_t, Board> const boards{
        {3, boardWith({}, {{3, option}, {7, option}, {9, option}})},
        {4, boardWith({{2, {"t", SlotType::Bool, 0}}}, {})}};
    Monitoring monitoring(boards);
    EXPECT_EQ(monitoring.getConfigIts(3)->first, 3);
    EXPECT_EQ(std::prev(monitoring.getConfigItEnds(3))->first, 9);
    EXPECT_EQ(monitoring.getConfigItEnds(3), boards.at(3).getConfigs().end());
    EXPECT_EQ(monitoring.getTelemetryIts(3), monitoring.getTelemetryItEnds(3));
    EXPECT_EQ(monitoring.getTelemetryIts(4)->first, 2);
    EXPECT_EQ(monitoring.getConfigIts(4), monitoring.getConfigItEnds(4));
    // The positions are stored: advancing one moves it for the next reader.
    ++monitoring.getConfigIts(3);
    EXPECT_EQ(monitoring.getConfigIts(3)->first, 7);
}

using Steps = Monitoring::Steps;

TEST(MonitorStatisticsTest, AgesAreTheIntervalBetweenTheLastTwoCompletions) {
    auto const start = MonitorStatistics::Clock::now();
    MonitorStatistics statistics({{0, "mainBoard"}, {1, "psu"}});
    // Construction reads the clock somewhere in between: a loaded machine
    // can spend milliseconds there.
    auto const built = MonitorStatistics::Clock::now();
    Json const zero = {{"config", 0}, {"misc", 0}, {"status", 0}, {"telemetry", 0}};
    EXPECT_EQ(statistics.toJson(),
              (Json{{"caheAge", {{"mainBoard", zero}, {"psu", zero}}}, {"idleMsPerSec", 0}}));

    // The first completion counts from construction.
    auto const first = start + 250ms;
    statistics.setCachAge(1, Steps::Telemetry, first);
    int64_t const sinceConstruction = statistics.toJson()["caheAge"]["psu"]["telemetry"];
    EXPECT_GE(sinceConstruction,
              std::chrono::duration_cast<std::chrono::milliseconds>(first - built).count() - 1);
    EXPECT_LE(sinceConstruction, 250);

    statistics.setCachAge(1, Steps::Telemetry, first + 1234567us);
    statistics.setCachAge(1, Steps::Config, first + 999us);
    Json const psu = statistics.toJson()["caheAge"]["psu"];
    EXPECT_EQ(psu["telemetry"], 1234);
    EXPECT_EQ(psu["status"], 0);
    EXPECT_EQ(statistics.toJson()["caheAge"]["mainBoard"]["telemetry"], 0);

    EXPECT_THROW(statistics.setCachAge(7, Steps::Status, first), std::out_of_range);
    EXPECT_THROW(statistics.setCachAge(1, static_cast<Steps>(1), first), std::out_of_range);
}

TEST(MonitorStatisticsTest, WithoutBoardsOnlyTheIdleTimeIsReported) {
    MonitorStatistics statistics({});
    EXPECT_EQ(statistics.toJson(), (Json{{"idleMsPerSec", 0}}));
}

TEST(MonitorStatisticsTest, IdleTimeIsSummedOverWindowsOfASecond) {
    using Clock = std::chrono::steady_clock;
    MonitorStatistics statistics({{0, "mainBoard"}});
    // The statistics read their clock between `before` and `after` of a
    // call; a loaded machine's sleeps overrun, so the test times each call.
    struct Call {
        Clock::time_point before;
        Clock::time_point after;
    };
    // Calls every 50 ms, each reporting `idle`, until the published figure
    // changes: the calls in the window and the figure.
    auto window = [&statistics](std::chrono::milliseconds idle) {
        int64_t const before = statistics.toJson()["idleMsPerSec"];
        std::vector<Call> calls;
        while (calls.size() < 40) {
            std::this_thread::sleep_for(50ms);
            Clock::time_point const start = Clock::now();
            statistics.addIdleTime(idle);
            calls.push_back({start, Clock::now()});
            int64_t const now = statistics.toJson()["idleMsPerSec"];
            if (now != before) {
                return std::make_pair(calls, now);
            }
        }
        return std::make_pair(calls, before);
    };
    // A window closes at its first call a second or more after its start.
    auto expectClosedAtASecond = [](std::vector<Call> const& calls, Call const& start) {
        ASSERT_GE(calls.size(), 2u);
        EXPECT_GE(calls.back().after - start.before, 1s);
        EXPECT_LT(calls[calls.size() - 2].before - start.after, 1s);
    };
    // The first call's idle time counts, its elapsed time does not: the
    // window starts at the first call.
    auto const [first, firstFigure] = window(50ms);
    expectClosedAtASecond(first, first.front());
    EXPECT_EQ(firstFigure, 50 * int64_t(first.size()));
    // The next window starts from nothing, at the call that closed the first.
    auto const [second, secondFigure] = window(40ms);
    expectClosedAtASecond(second, first.back());
    EXPECT_EQ(secondFigure, 40 * int64_t(second.size()));
}

} // namespace
} // namespace enginetest

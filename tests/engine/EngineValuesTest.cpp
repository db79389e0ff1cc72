#include "support/EngineFixture.h"
#include "support/LogCapture.h"

#include "bus/FlagsFlash.h"

#include <functional>
#include <string>

namespace enginetest {
namespace {

using testsupport::LogCapture;
using velt::ZRV480::Bus::BusReport;
using velt::ZRV480::Bus::ValueObjects::Bootloader::FlagsFlash;
using Json = nlohmann::json;

constexpr uint8_t ConfigSetCommand = 3;
constexpr uint8_t MiscCommand = 5;
constexpr uint8_t BusInvalidValueByte = 0x86;

class BoardValues : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        bringOnline(Psu);
        bringOnline(Light);
        markInitialized(Main);
        markInitialized(Psu);
        markInitialized(Light);
        machine.sim.clearRequests();
    }

    // Every request to `address` with `command` (and `slot`) is refused with `error`.
    void refuse(uint8_t address, uint8_t command, std::optional<uint8_t> slot, uint8_t error) {
        boardsim::Rule rule;
        rule.match = boardsim::Filter{address, command, slot};
        rule.action = boardsim::Action::errorReply(error);
        machine.sim.addRule(rule);
    }

    // A heartbeat that fails leaves the board (or with Main, the bus) offline.
    void takeOffline(uint8_t address) {
        machine.sim.setPresent(address, false);
        uint32_t uptime = 0;
        engine->parser.heartbeat(address, uptime);
        ASSERT_FALSE(engine->parser.isOnline(address));
    }

    // Undoes takeOffline and a cleared flag: both boards online, initialised.
    void restore() {
        for (uint8_t address : {Main, Psu}) {
            machine.sim.setPresent(address, true);
            ASSERT_TRUE(machine.sim.waitBooted(address, 2000));
        }
        bringOnline(Psu);
        markInitialized(Psu);
    }

    // Each cached getter of the power-supply board, with its output
    // pre-set to a marker; true when the output still holds the marker.
    struct Getter {
        char const* name;
        std::function<ErrorCode(Engine&, bool& untouched)> call;
    };
    static std::vector<Getter> getters() {
        return {
            {"telemetry",
             [](Engine& e, bool& untouched) {
                 Json value = "marker";
                 ErrorCode const code = e.boardTelemetryGet(Psu, 1, value);
                 untouched = value == "marker";
                 return code;
             }},
            {"config",
             [](Engine& e, bool& untouched) {
                 Json value = "marker";
                 ErrorCode const code = e.boardConfigGet(Psu, 2, value);
                 untouched = value == "marker";
                 return code;
             }},
            {"slot0",
             [](Engine& e, bool& untouched) {
                 std::map<uint8_t, bool> status;
                 std::map<uint8_t, bool> errors;
                 ErrorCode const code = e.boardStatusSlot0Get(Psu, status, errors);
                 untouched = status.empty() && errors.empty();
                 return code;
             }},
            {"uptime",
             [](Engine& e, bool& untouched) {
                 uint32_t uptime = 77;
                 ErrorCode const code = e.boardUptimeGet(Psu, uptime);
                 untouched = uptime == 77;
                 return code;
             }},
            {"info",
             [](Engine& e, bool& untouched) {
                 Engine::BoardInfo info;
                 info.boardName = "marker";
                 ErrorCode const code = e.boardInfoGet(Psu, info);
                 untouched = info.boardName == "marker";
                 return code;
             }},
            {"flags",
             [](Engine& e, bool& untouched) {
                 FlagsFlash flags(0xC1);
                 ErrorCode const code = e.boardBootloaderFlagsGet(Psu, flags);
                 untouched = flags.toBitset() == 0xC1;
                 return code;
             }},
            {"bootloader status",
             [](Engine& e, bool& untouched) {
                 // Word and error mask equal: the only status whose "error" is true.
                 Engine::BootloaderStatus status({}, 0x5, 0x5);
                 ErrorCode const code = e.boardBootloaderStatusGet(Psu, status);
                 untouched = status.toJson()["error"] == true;
                 return code;
             }},
        };
    }

    // Fills every entry the getters read with (BusInvalidValue, a value).
    void fillCache() {
        engine->editCache(Psu, [](BoardCache& cache) {
            cache.telemetries.at(1) = {ErrorCode::BusInvalidValue, 5};
            cache.configs.at(2) = {ErrorCode::BusInvalidValue, 6};
            cache.statusSlot0 = {ErrorCode::BusInvalidValue, {0x12, 0x40}};
            cache.heartbeat = {ErrorCode::BusInvalidValue, 7};
            cache.boardInfo.first = ErrorCode::BusInvalidValue;
            cache.bootloaderFlags.first = ErrorCode::BusInvalidValue;
            cache.bootloaderStatus.first = ErrorCode::BusInvalidValue;
        });
    }
};

TEST_F(BoardValues, GettersAnswerTimeoutAndLeaveTheirOutputWhenTheBoardCannotBeServed) {
    struct Condition {
        char const* name;
        std::function<void()> arrange;
    };
    Condition const conditions[] = {
        {"not initialised",
         [this] { engine->editCache(Psu, [](BoardCache& c) { c.initialized = false; }); }},
        {"board offline", [this] { takeOffline(Psu); }},
        {"main board offline", [this] { takeOffline(Main); }},
    };
    fillCache();
    for (auto const& condition : conditions) {
        condition.arrange();
        machine.sim.clearRequests();
        for (auto const& getter : getters()) {
            SCOPED_TRACE(std::string(condition.name) + ": " + getter.name);
            bool untouched = false;
            EXPECT_EQ(getter.call(*engine, untouched), ErrorCode::Timeout);
            EXPECT_TRUE(untouched);
        }
        EXPECT_TRUE(machine.sim.requests().empty());
        restore();
    }
}

TEST_F(BoardValues, GettersDeliverTheCachedValueWithItsCode) {
    fillCache();
    for (auto const& getter : getters()) {
        SCOPED_TRACE(getter.name);
        bool untouched = true;
        EXPECT_EQ(getter.call(*engine, untouched), ErrorCode::BusInvalidValue);
    }
    Json value;
    engine->boardTelemetryGet(Psu, 1, value);
    EXPECT_EQ(value, 5);
    uint32_t uptime = 0;
    engine->boardUptimeGet(Psu, uptime);
    EXPECT_EQ(uptime, 7u);

    // Only the slots of the board's mask; other entries stay as they were.
    std::map<uint8_t, bool> status{{9, true}};
    std::map<uint8_t, bool> errors;
    engine->boardStatusSlot0Get(Psu, status, errors);
    EXPECT_EQ(status, (std::map<uint8_t, bool>{{1, true}, {4, true}, {6, false}, {9, true}}));
    EXPECT_EQ(errors, (std::map<uint8_t, bool>{{1, false}, {4, false}, {6, true}}));
}

TEST_F(BoardValues, MissingSlots) {
    Json value = "marker";
    EXPECT_EQ(engine->boardTelemetryGet(Psu, 9, value), ErrorCode::Timeout);
    EXPECT_EQ(value, "marker");
    EXPECT_THROW(engine->boardConfigGet(Psu, 9, value), std::out_of_range);
    std::pair<uint64_t, std::string> status;
    EXPECT_THROW(engine->boardStatusSlotNGet(Psu, 9, status), std::out_of_range);
    EXPECT_THROW(engine->boardTelemetryGet(7, 0, value), std::out_of_range);
}

TEST_F(BoardValues, TheLastStatusStaysReadableWhileTheBoardIsInitialisedAgain) {
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.initialized = false;
        cache.statuses.at(4) = {ErrorCode::Success, {0x85, "Mains failed"}};
    });
    std::pair<uint64_t, std::string> status;
    EXPECT_EQ(engine->boardStatusSlotNGet(Psu, 4, status), ErrorCode::Success);
    EXPECT_EQ(status, (std::pair<uint64_t, std::string>{0x85, "Mains failed"}));
    takeOffline(Psu);
    EXPECT_EQ(engine->boardStatusSlotNGet(Psu, 4, status), ErrorCode::Timeout);
}

TEST_F(BoardValues, TheServiceConsoleHasAFixedRecord) {
    Engine::BoardInfo info;
    info.boardId[0] = 0xAB;
    takeOffline(Main);
    LogCapture log(Log::Level::Debug);
    EXPECT_EQ(engine->boardInfoGet(200, info), ErrorCode::Success);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(info.boardName, "ZRV480_Service");
    EXPECT_EQ(info.firmwareName, "ZRV480_Service");
    EXPECT_EQ(info.boardVersion, 2);
    EXPECT_EQ(info.firmwareVersion, 0);
    EXPECT_EQ(info.boardId[0], 0xAB);
    engine->state.with([&](EngineState& s) { s.serviceConsoleVersion = 7; });
    engine->boardInfoGet(200, info);
    EXPECT_EQ(info.firmwareVersion, 7);
}

TEST_F(BoardValues, AConfigurationWriteRefusedBeforeSendingLeavesTheCacheAsItWas) {
    // The values last read from the board.
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.configs.at(0) = {ErrorCode::Success, "low"};
        cache.configs.at(2) = {ErrorCode::Success, 20};
        cache.configs.at(4) = {ErrorCode::Success, 13.8};
    });
    struct Case {
        char const* name;
        bool firmwareOk;
        uint8_t address;
        uint8_t slot;
        Json value;
        ErrorCode expected;
    };
    Case const cases[] = {
        {"other firmware, missing slot", false, Psu, 3, 5, ErrorCode::InvalidBoardVersion},
        {"missing slot", true, Psu, 3, 5, ErrorCode::BusInvalidSlot},
        {"integer for an enum", true, Psu, 0, 1, ErrorCode::InvalidParameter},
        {"text for a number", true, Psu, 2, "5", ErrorCode::InvalidParameter},
        {"signed colour", true, Light, 20, Json{{"r", -1}, {"g", 0}, {"b", 0}},
         ErrorCode::InvalidParameter},
        {"colour without blue", true, Light, 20, Json{{"r", 1}, {"g", 0}},
         ErrorCode::InvalidParameter},
        {"name the enumeration lacks", true, Psu, 0, "medium", ErrorCode::BusInvalidValue},
        {"name in another case", true, Psu, 0, "High", ErrorCode::BusInvalidValue},
        {"integer beyond 32 bits", true, Psu, 2, int64_t{1} << 32, ErrorCode::InvalidParameter},
        {"number beyond 32 bits once multiplied", true, Psu, 4, 3e7, ErrorCode::InvalidParameter},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        engine->editCache(c.address, [&](BoardCache& cache) { cache.firmwareOk = c.firmwareOk; });
        BoardCache const before = engine->getBoardCache(c.address);
        Json value = c.value;
        EXPECT_EQ(engine->boardConfigSet(c.address, c.slot, value), c.expected);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(engine->getBoardCache(c.address).configs, before.configs);
    }
    EXPECT_TRUE(machine.sim.requests().empty());

    Json cached;
    EXPECT_EQ(engine->boardConfigGet(Psu, 0, cached), ErrorCode::Success);
    EXPECT_EQ(cached, "low");

    struct Refusal {
        uint8_t slot;
        Json value;
        std::string line;
    };
    Refusal const refusals[] = {
        {2, true, "Skipping psu config batteryLowThreshold: InvalidParameter"},
        {0, "medium", "Skipping psu config fanMode: BusInvalidValue"},
    };
    for (auto const& r : refusals) {
        LogCapture log;
        Json value = r.value;
        EXPECT_NE(engine->boardConfigSet(Psu, r.slot, value), ErrorCode::Success);
        EXPECT_EQ(log.count(r.line), 1u) << log.text();
    }
}

TEST_F(BoardValues, AConfigurationWriteCachesWhatTheBoardAnswered) {
    // An integer is a number for a Double slot.
    Json value = 14;
    EXPECT_EQ(engine->boardConfigSet(Psu, 4, value), ErrorCode::Success);
    EXPECT_DOUBLE_EQ(value.get<double>(), 14.0);
    EXPECT_EQ(machine.sim.raw(Psu, boardsim::SlotTable::Config, 4), 1400);
    Json cached;
    EXPECT_EQ(engine->boardConfigGet(Psu, 4, cached), ErrorCode::Success);
    EXPECT_EQ(cached, value);

    value = "high";
    EXPECT_EQ(engine->boardConfigSet(Psu, 0, value), ErrorCode::Success);
    EXPECT_EQ(machine.sim.raw(Psu, boardsim::SlotTable::Config, 0), 2);

    // A refusal is cached with the value until the slot is read again.
    refuse(Psu, ConfigSetCommand, 2, BusInvalidValueByte);
    value = 30;
    EXPECT_EQ(engine->boardConfigSet(Psu, 2, value), ErrorCode::BusInvalidValue);
    EXPECT_EQ(engine->boardConfigGet(Psu, 2, cached), ErrorCode::BusInvalidValue);
    EXPECT_EQ(cached, 30);
}

TEST_F(BoardValues, TransitionsCheckTheSlotBeforeTheFirmware) {
    engine->editCache(Light, [](BoardCache& cache) { cache.firmwareOk = false; });
    Engine::Color colour{1, 2, 3};
    uint8_t level = 9;
    EXPECT_EQ(engine->lightTransitionColor(Light, 30, colour), ErrorCode::BusInvalidSlot);
    EXPECT_EQ(engine->lightTransitionValue(Light, 30, level), ErrorCode::BusInvalidSlot);
    EXPECT_EQ(engine->lightTransitionColor(Light, 20, colour), ErrorCode::InvalidBoardVersion);
    EXPECT_EQ(engine->lightTransitionValue(Light, 10, level), ErrorCode::InvalidBoardVersion);
    EXPECT_TRUE(machine.sim.requests().empty());
}

TEST_F(BoardValues, TransitionsCacheTheEcho) {
    Engine::Color colour{10, 20, 30};
    EXPECT_EQ(engine->lightTransitionColor(Light, 20, colour), ErrorCode::Success);
    uint8_t level = 200;
    EXPECT_EQ(engine->lightTransitionValue(Light, 10, level), ErrorCode::Success);
    BoardCache const cache = engine->getBoardCache(Light);
    EXPECT_EQ(cache.configs.at(20), (BoardCache::Entry<Json>{ErrorCode::Success, colour.toJson()}));
    EXPECT_EQ(cache.configs.at(10).second, level);
    EXPECT_TRUE(cache.configs.at(10).second.is_number_unsigned());
}

TEST_F(BoardValues, AMultiPatternPlaysEveryEntryAndAnswersTheLastFailure) {
    Engine::Patterns const patterns{{10, {{{1, 2, 3, 100, false}}, 1}},
                                    {20, {{{4, 5, 6, 100, true}}, 2}},
                                    {30, {{{7, 8, 9, 100, false}}, 0}}};
    refuse(Light, MiscCommand, 20, BusInvalidValueByte);
    refuse(Light, MiscCommand, 30, 0x85);
    ErrorCode const last = engine->lightPatternMultiPlay(Light, patterns);
    EXPECT_EQ(machine.sim.requestCount(boardsim::Filter{Light, MiscCommand}), 3u);
    EXPECT_NE(last, ErrorCode::Success);
    EXPECT_NE(last, ErrorCode::BusInvalidValue);

    machine.sim.clearRules();
    refuse(Light, MiscCommand, 20, BusInvalidValueByte);
    machine.sim.clearRequests();
    Engine::Patterns two{{10, patterns.at(10)}, {20, patterns.at(20)}};
    EXPECT_EQ(engine->lightPatternMultiPlay(Light, two), ErrorCode::BusInvalidValue);
    two.erase(20);
    EXPECT_EQ(engine->lightPatternMultiPlay(Light, two), ErrorCode::Success);
}

TEST_F(BoardValues, BootloaderFlagsAreWrittenWhateverTheBoardsState) {
    engine->editCache(Psu, [](BoardCache& cache) {
        cache.firmwareOk = false;
        cache.initialized = false;
    });
    EXPECT_EQ(engine->boardBootloaderFlagsReset(Psu), ErrorCode::Success);
    EXPECT_EQ(machine.sim.bootloaderFlags(Psu), 0xC1);
    EXPECT_EQ(engine->boardBootloaderFlagsReset(Main), ErrorCode::Success);
    EXPECT_EQ(machine.sim.bootloaderFlags(Main), 0x30);
    auto const cached = engine->getBoardCache(Psu).bootloaderFlags;
    EXPECT_EQ(cached.first, ErrorCode::Success);
    EXPECT_EQ(cached.second.toBitset(), 0xC1);

    // A failed write is cached with its code.
    refuse(Psu, MiscCommand, std::nullopt, BusInvalidValueByte);
    FlagsFlash flags(0x1);
    EXPECT_EQ(engine->boardBootloaderFlagsSet(Psu, flags), ErrorCode::BusInvalidValue);
    EXPECT_EQ(engine->getBoardCache(Psu).bootloaderFlags.first, ErrorCode::BusInvalidValue);
}

class MainBoardValues : public BoardValues {};

TEST_F(MainBoardValues, GettersAnswerFromTheMainBoardsCache) {
    bool link = true;
    Engine::Mac mac{1};
    Engine::Ip ip{1};
    int32_t clock = 5;
    BusReport report{};
    // Initialised and online, nothing read yet: not read yet, with zeros.
    EXPECT_EQ(engine->mainNetworkStatusGet(link, mac, ip), ErrorCode::Timeout);
    EXPECT_FALSE(link);
    EXPECT_EQ(mac, Engine::Mac{});
    EXPECT_EQ(engine->mainTimestampGet(clock), ErrorCode::Timeout);
    EXPECT_EQ(clock, 0);
    EXPECT_EQ(engine->mainBusStatisticsGet(report), ErrorCode::Timeout);

    engine->editCache(Main, [](BoardCache& cache) { cache.initialized = false; });
    clock = 5;
    uint16_t port = 9;
    EXPECT_EQ(engine->mainTimestampGet(clock), ErrorCode::Timeout);
    EXPECT_EQ(engine->mainNetworkBoardServerGet(port), ErrorCode::Timeout);
    EXPECT_EQ(clock, 5);
    EXPECT_EQ(port, 9);
}

TEST_F(MainBoardValues, ASetterCachesTheEchoOrTheValueAsPassed) {
    Engine::Ip dns{9, 9, 9, 9};
    EXPECT_EQ(engine->mainNetworkDnsSet(dns), ErrorCode::Success);
    EXPECT_EQ(machine.sim.network().dns, dns);
    Engine::Ip read{};
    EXPECT_EQ(engine->mainNetworkDnsGet(read), ErrorCode::Success);
    EXPECT_EQ(read, dns);

    // Written while the main board is offline: the bus layer's 1, cached
    // with the value as passed and served once the main board is back.
    takeOffline(Main);
    Engine::Ip other{1, 1, 1, 1};
    EXPECT_EQ(engine->mainNetworkDnsSet(other), ErrorCode::Timeout);
    machine.sim.setPresent(Main, true);
    ASSERT_TRUE(machine.sim.waitBooted(Main, 2000));
    bringOnline(Psu);
    EXPECT_EQ(engine->mainNetworkDnsGet(read), ErrorCode::Timeout);
    EXPECT_EQ(read, other);
}

TEST_F(MainBoardValues, TheIpSetterNamesTheAddressesInItsTraceLine) {
    Engine::Ip ip{192, 168, 1, 1};
    Engine::Ip mask{255, 255, 255, 0};
    Engine::Ip gateway{192, 168, 1, 254};
    LogCapture log(Log::Level::Debug);
    EXPECT_EQ(engine->mainNetworkIpSet(ip, mask, gateway), ErrorCode::Success);
    EXPECT_EQ(log.count("mainNetworkIpSet 19216811 2552552550 1921681254"), 1u) << log.text();
    Engine::Ip cached[3];
    EXPECT_EQ(engine->mainNetworkIpGet(cached[0], cached[1], cached[2]), ErrorCode::Success);
    EXPECT_EQ(cached[2], gateway);
}

TEST_F(MainBoardValues, PreAuthenticationNeedsAFullLengthHash) {
    EXPECT_EQ(engine->mainSecurityPreAuth(std::string(63, 'a'), "salt"),
              ErrorCode::MalformedRequest);
    EXPECT_TRUE(machine.sim.requests().empty());
    EXPECT_EQ(engine->mainSecurityPreAuth(std::string(64, 'a'), ""), ErrorCode::Success);
    ASSERT_TRUE(machine.sim.preauth().has_value());
}

} // namespace
} // namespace enginetest

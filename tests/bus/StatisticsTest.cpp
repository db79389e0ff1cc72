#include "bus/Statistics.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <vector>

namespace {

using nlohmann::json;
using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Statistics;
using velt::ZRV480::Bus::Common::ErrorCode;

Packet const Voltage(1, Packet::Command::Telemetry, 0, {});
Packet const Battery(1, Packet::Command::Telemetry, 1, {});

Statistics named() {
    return Statistics({{0, "main"}, {1, "psu"}});
}

void registerAll(Statistics& statistics, Packet const& request,
                 std::vector<ErrorCode> const& results) {
    for (ErrorCode result : results) {
        statistics.registerStat(request, result);
    }
}

json board(uint64_t transmitted, uint64_t completed, uint64_t timeouts, uint64_t run) {
    return {{"completed", completed},
            {"consecutiveFailures", run},
            {"failures", transmitted - timeouts - completed},
            {"timeouts", timeouts},
            {"transmited", transmitted}};
}

TEST(Statistics, NullBeforeTheFirstAttempt) {
    EXPECT_TRUE(named().toJson().is_null());
}

TEST(Statistics, CountsEachKindOfResult) {
    struct Case {
        char const* what;
        std::vector<ErrorCode> results;
        json expected;
    };
    std::vector<Case> const cases = {
        {"three time-outs",
         {ErrorCode::Timeout, ErrorCode::Timeout, ErrorCode::Timeout},
         board(3, 0, 3, 3)},
        {"bus time-out counts as a time-out", {ErrorCode::BusTimeout}, board(1, 0, 1, 1)},
        {"error reply is a failure", {ErrorCode::BusInvalidSlot}, board(1, 0, 0, 1)},
        {"success ends the run",
         {ErrorCode::Timeout, ErrorCode::MalformedResponse, ErrorCode::Success},
         board(3, 1, 1, 0)},
        {"run starts again after a success",
         {ErrorCode::Success, ErrorCode::BusProtocolError},
         board(2, 1, 0, 1)},
    };
    for (Case const& c : cases) {
        Statistics statistics = named();
        registerAll(statistics, Voltage, c.results);
        EXPECT_EQ(statistics.toJson(), json({{"psu", c.expected}})) << c.what;
    }
}

TEST(Statistics, SlotsKeepSeparateRunsSummedPerBoard) {
    Statistics statistics = named();
    registerAll(statistics, Voltage, {ErrorCode::Timeout, ErrorCode::Timeout});
    registerAll(statistics, Battery, {ErrorCode::Success, ErrorCode::BusNodeError});
    statistics.registerStat(Packet(0, Packet::Command::Heartbeat, 0, {}), ErrorCode::Success);
    EXPECT_EQ(statistics.toJson(), json({{"main", board(1, 1, 0, 0)}, {"psu", board(4, 1, 2, 3)}}));
}

TEST(Statistics, TheSummedCopyWritesTheSameFigures) {
    Statistics statistics = named();
    auto const same = [&](char const* step) {
        EXPECT_EQ(statistics.summed().toJson(), statistics.toJson()) << step;
    };
    same("nothing yet");
    registerAll(statistics, Voltage, {ErrorCode::Timeout, ErrorCode::Timeout});
    same("one slot");
    registerAll(statistics, Battery, {ErrorCode::Success, ErrorCode::BusNodeError});
    statistics.registerStat(Packet(0, Packet::Command::Heartbeat, 0, {}), ErrorCode::Success);
    statistics.registerStat(Packet(255, Packet::Command::Heartbeat, 0, {}), ErrorCode::Timeout);
    same("boards, commands and slots, one without a name");
    EXPECT_EQ(statistics.summed().summed().toJson(), statistics.toJson());
}

TEST(Statistics, AddressWithoutNameIsUnknown) {
    Statistics statistics = named();
    statistics.registerStat(Packet(255, Packet::Command::Heartbeat, 0, {}), ErrorCode::Timeout);
    EXPECT_EQ(statistics.toJson(), json({{"unknown", board(1, 0, 1, 1)}}));
}

TEST(Statistics, WarnsOncePerRunOfFiveFailures) {
    std::string const warning = "psu Telemetry 0 had 5 consecutive failures!";
    Statistics statistics = named();
    {
        testsupport::LogCapture log;
        registerAll(statistics, Voltage, std::vector<ErrorCode>(4, ErrorCode::Timeout));
        registerAll(statistics, Battery, std::vector<ErrorCode>(4, ErrorCode::Timeout));
        EXPECT_EQ(log.count("had 5 consecutive failures!"), 0u); // two runs of 4, not one of 8
    }
    {
        testsupport::LogCapture log;
        registerAll(statistics, Voltage, std::vector<ErrorCode>(3, ErrorCode::BusGeneralError));
        EXPECT_EQ(log.count("[[Manager::Statistics]] " + warning), 1u);
    }
    {
        testsupport::LogCapture log;
        statistics.registerStat(Voltage, ErrorCode::Success);
        registerAll(statistics, Voltage, std::vector<ErrorCode>(5, ErrorCode::Timeout));
        EXPECT_EQ(log.count(warning), 1u); // a success starts a new run
    }
}

TEST(Statistics, CopyIsIndependent) {
    Statistics statistics = named();
    statistics.registerStat(Voltage, ErrorCode::Success);
    Statistics const copy = statistics;
    statistics.registerStat(Voltage, ErrorCode::Timeout);
    EXPECT_EQ(copy.toJson(), json({{"psu", board(1, 1, 0, 0)}}));
}

} // namespace

// A writer killed at any moment leaves the firmware record either as it was
// or as it was meant to be, never truncated or mixed.
#include "engine/Firmwares.h"
#include "support/ScratchDir.h"
#include "support/WriteKiller.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <map>
#include <string>

namespace enginetest {
namespace {

using testsupport::ScratchDir;
using testsupport::WriteKiller;
using velt::ZRV480::BoardManager::Manager::Firmwares;

constexpr int Kills = 200;
constexpr std::chrono::seconds Budget{150};

// "boards-state.json" as the firmware record saves it: always loadable, with
// one of the two records.
TEST(AtomicFileWriteKill, FirmwareRecordStaysLoadable) {
    ScratchDir dir;
    std::string const path = dir.path("boards-state.json");
    std::map<uint8_t, std::string> const names = {{0, "mainBoard"}, {1, "psu"}, {16, "lights"}};
    std::array<Firmwares, 2> records{Firmwares(names), Firmwares(names)};
    for (Firmwares& record : records) {
        record.load(path); // only remembers the path: no file yet
    }
    records[0][0] = {Firmwares::State::pendingReboot, 12};
    records[1][16] = {Firmwares::State::installing, 3};
    records[1][Firmwares::AddressService] = {Firmwares::State::failed, 7};

    WriteKiller killer([&](int i) { records[i % 2].save(); },
                       [&]() -> std::string {
                           Firmwares loaded(names);
                           if (!loaded.load(path)) {
                               return "the record cannot be loaded: '" +
                                      dir.read("boards-state.json") + "'";
                           }
                           nlohmann::json const now = loaded.toJson();
                           if (now == records[0].toJson() || now == records[1].toJson()) {
                               return "";
                           }
                           return "the record holds neither: " + now.dump();
                       });
    WriteKiller::Outcome const outcome = killer.run(Kills, Budget);
    EXPECT_EQ(outcome.fault, "");
    EXPECT_EQ(outcome.kills, Kills) << "the time ran out, or the child ended before its kill";
}

} // namespace
} // namespace enginetest

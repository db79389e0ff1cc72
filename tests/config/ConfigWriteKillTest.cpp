// The configuration file, rewritten by a process killed at any moment, is
// always whole: the previous document or the new one, never a cut; and at
// most one temporary stands beside it.
#include "config/Config.h"
#include "foundation/Log.h"
#include "support/ScratchDir.h"
#include "support/WriteKiller.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

namespace configtest {
namespace {

using nlohmann::json;
using testsupport::ScratchDir;
using testsupport::WriteKiller;
using velt::ZRV480::BoardManager::Config::Config;

// A document large enough that writing it takes several system calls.
json document(std::string const& broker) {
    json sections = {{"mqtt", {{"address", broker}, {"port", 1883}}}};
    for (int i = 0; i < 500; ++i) {
        sections["boards"]["board" + std::to_string(i)] = {{"period", i}, {"name", broker}};
    }
    return sections;
}

TEST(ConfigWriteKill, FileIsAlwaysTheOldOrTheNewDocument) {
    Log::setLevel(Log::Level::Warning); // each write logs at info level
    ScratchDir dir;
    std::string const path = dir.path("config.json");
    Config config(path);
    std::array<json, 2> const documents{document("127.0.0.1"), document("127.0.0.2")};

    WriteKiller killer([&](int i) { config.fileWrite(documents[i % 2]); },
                       [&]() -> std::string {
                           std::ifstream file(path);
                           std::stringstream text;
                           text << file.rdbuf();
                           json const now = json::parse(text.str(), nullptr, false);
                           if (now.is_discarded()) {
                               return "not JSON: " + std::to_string(text.str().size()) + " bytes";
                           }
                           if (now != documents[0] && now != documents[1]) {
                               return "neither document";
                           }
                           // One temporary at the most, however many kills.
                           std::string const listing = dir.listing();
                           if (listing != "config.json" &&
                               listing != "config.json config.json.tmp") {
                               return "the directory holds " + listing;
                           }
                           return "";
                       });
    WriteKiller::Outcome const outcome = killer.run(200, std::chrono::seconds(150));
    EXPECT_EQ(outcome.fault, "");
    EXPECT_EQ(outcome.kills, 200) << "the time ran out, or the child ended before its kill";
}

} // namespace
} // namespace configtest

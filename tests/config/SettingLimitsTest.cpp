#include "config/SettingLimits.h"

#include "bus/Config.h"
#include "engine/Config.h"
#include "mqtt/Config.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using nlohmann::json;
using velt::ZRV480::BoardManager::Config::SettingLimit;
using velt::ZRV480::BoardManager::Config::SettingLimits;

namespace {

json::json_pointer pointerTo(std::string const& path) {
    return json::json_pointer("/" + path);
}

SettingLimit const& limitAt(std::string const& path) {
    for (auto const& limit : SettingLimits::all()) {
        if (limit.path == path) {
            return limit;
        }
    }
    throw std::out_of_range(path);
}

// The refusal of the document; empty when it is accepted.
std::string refusalOf(json const& document) {
    try {
        SettingLimits::check(document);
        return "";
    } catch (std::invalid_argument const& e) {
        return e.what();
    }
}

TEST(SettingLimitsTest, EverySettingTakesItsBoundsAndRefusesBeyondThemOrOfAnotherType) {
    struct Case {
        char const* path;
        json value;
        bool accepted;
    };
    std::string const x128(128, 'x');
    std::string const x256(256, 'x');
    std::string umlauts;
    for (int i = 0; i < 100; ++i) {
        umlauts += "\u00fc";
    }
    Case const cases[] = {
        {"device/statusPeriod", 9, false},
        {"device/statusPeriod", 10, true},
        {"device/statusPeriod", 3600000, true},
        {"device/statusPeriod", 3600001, false},
        {"device/statusPeriod", "fast", false},
        {"device/timeoutMs", 0, false},
        {"device/timeoutMs", 10, true},
        {"device/timeoutMs", 10000, true},
        {"device/timeoutMs", 10001, false},
        {"device/timeoutMs", json::array({1}), false},
        {"device/retransmissions", -1, false},
        {"device/retransmissions", 0, true},
        {"device/retransmissions", 10, true},
        {"device/retransmissions", 11, false},
        {"device/retransmissions", 2.5, false},
        {"device/cacheBatchSize", 0, false},
        {"device/cacheBatchSize", 1, true},
        {"device/cacheBatchSize", 256, true},
        {"device/cacheBatchSize", 257, false},
        {"device/cacheBatchSize", uint64_t(18446744073709551615u), false},
        {"device/cacheBatchSize", "20", false},
        {"device/socket/address", "127.0.0.1", true},
        {"device/socket/address", "256.0.0.1", false},
        {"device/socket/address", "localhost", false},
        {"device/socket/address", 2130706433, false},
        {"device/socket/port", 0, false},
        {"device/socket/port", 1, true},
        {"device/socket/port", 65535, true},
        {"device/socket/port", 65536, false},
        {"device/socket/port", "10000", false},
        {"device/socket/timeoutMs", 0, false},
        {"device/socket/timeoutMs", 1, true},
        {"device/socket/timeoutMs", 9999, true},
        {"device/socket/timeoutMs", 10000, false},
        {"device/socket/timeoutMs", true, false},
        {"mqtt/url", "127.0.0.1:0", false},
        {"mqtt/url", "127.0.0.1:1", true},
        {"mqtt/url", "tcp://broker.local:65535", true},
        {"mqtt/url", "mqtt://[::1]:1883", true},
        {"mqtt/url", "127.0.0.1:65536", false},
        {"mqtt/url", "127.0.0.1", false},
        {"mqtt/url", ":1883", false},
        {"mqtt/url", "ssl://host:8883", false},
        {"mqtt/url", "my broker:1883", false},
        {"mqtt/url", std::string(251, 'h') + ":1883", true},
        {"mqtt/url", std::string(252, 'h') + ":1883", false},
        {"mqtt/url", 1883, false},
        {"mqtt/username", "", true},
        {"mqtt/username", x256, true},
        {"mqtt/username", x256 + "x", false},
        {"mqtt/username", std::string("us\0er", 5), false},
        {"mqtt/username", nullptr, false},
        {"mqtt/password", "", true},
        {"mqtt/password", std::string(65535, 'p'), true},
        {"mqtt/password", std::string(65536, 'p'), false},
        {"mqtt/password", 1234, false},
        {"mqtt/clientId", "", true},
        {"mqtt/clientId", x128, true},
        {"mqtt/clientId", x128 + "x", false},
        {"mqtt/clientId", std::string(16 << 20, 'c'), false},
        {"mqtt/clientId", 7, false},
        {"mqtt/clientId", umlauts, false},
        {"mqtt/base", "", true},
        {"mqtt/base", "b", true},
        {"mqtt/base", "velt/zrv/" + std::string(247, 'b'), true},
        {"mqtt/base", "velt/zrv/" + std::string(248, 'b'), false},
        {"mqtt/base", "velt/+/boardman", false},
        {"mqtt/base", "velt/#", false},
        {"mqtt/base", "/velt", false},
        {"mqtt/base", "velt/", false},
        {"mqtt/base", "velt//boardman", false},
        {"mqtt/base", json::object(), false},
        {"mqtt/keepAliveSec", 0, false},
        {"mqtt/keepAliveSec", 1, true},
        {"mqtt/keepAliveSec", 3600, true},
        {"mqtt/keepAliveSec", 3601, false},
        {"mqtt/keepAliveSec", "20", false},
        {"mqtt/log/payload", true, true},
        {"mqtt/log/payload", 1, false},
        {"mqtt/log/published", false, true},
        {"mqtt/log/published", "false", false},
        {"mqtt/log/received", true, true},
        {"mqtt/log/received", nullptr, false},
        {"mqtt/log/subscriptions", false, true},
        {"mqtt/log/subscriptions", 0, false},
    };
    for (auto const& c : cases) {
        std::string const shown = c.value.dump();
        SCOPED_TRACE(std::string(c.path) + " = " + shown.substr(0, 40));
        json document;
        document[pointerTo(c.path)] = c.value;
        std::string const refusal = refusalOf(document);
        if (c.accepted) {
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find("\"" + std::string(c.path) + "\""), std::string::npos)
                << refusal;
            EXPECT_NE(refusal.find(limitAt(c.path).allowed()), std::string::npos) << refusal;
            EXPECT_LT(refusal.size(), 1000u); // a huge value is not repeated whole
            EXPECT_NO_THROW(json(refusal).dump()) << "the cut left broken UTF-8";
        }
    }
}

TEST(SettingLimitsTest, SectionsThatAreNoObjectsAndUnknownTransportMembersAreRefused) {
    struct Case {
        json document;
        char const* named; // empty: accepted
    };
    Case const cases[] = {
        {{{"device", nullptr}}, "section \"device\" must be an object, got null"},
        {{{"device", 5}}, "section \"device\" must be an object, got a number"},
        {{{"mqtt", nullptr}}, "section \"mqtt\" must be an object, got null"},
        {{{"mqtt", "broker"}}, "section \"mqtt\" must be an object, got 6 bytes"},
        {{{"mqtt", {"s3cret"}}}, "section \"mqtt\" must be an object, got an array"},
        {{{"device", {{"socket", nullptr}}}}, "section \"device/socket\" must be an object"},
        {{{"device", {{"socket", 10000}}}}, "section \"device/socket\" must be an object"},
        {{{"mqtt", {{"log", nullptr}}}}, "section \"mqtt/log\" must be an object"},
        {{{"mqtt", {{"log", true}}}}, "section \"mqtt/log\" must be an object"},
        {{{"boards", nullptr}}, "section \"boards\" must be an object, got null"},
        {{{"boards", {1}}}, "section \"boards\" must be an object, got an array"},
        {{{"boards", {{"psu", nullptr}}}}, "section \"boards/psu\" must be an object, got null"},
        {{{"boards", {{"psu", false}}}}, "section \"boards/psu\" must be an object"},
        {{{"device", {{"socket", {{"speed", 1}}}}}}, "\"device/socket/speed\" is unknown"},
        {{{"mqtt", {{"log/payload", "yes"}}}}, "\"mqtt/log/payload\" is unknown"},
        {json(7), "the configuration must be a JSON object of sections, got a number"},
        {json::array({{{"device", {{"statusPeriod", 0}}}}}),
         "the configuration must be a JSON object of sections, got an array"},
        {{{"device", {{"unknown", "x"}}}, {"mqtt", {{"log", {{"other", 1}}}}}}, ""},
        {{{"boards", {{"psu", {{"fanMode", -1}}}, {"other", json::object()}}}, {"other", 1}}, ""},
        {json::object(), ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.document.dump());
        std::string const refusal = refusalOf(c.document);
        if (*c.named == '\0') {
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(c.named), std::string::npos) << refusal;
        }
    }
}

TEST(SettingLimitsTest, ARefusedSecretSaysOnlyWhatKindAndSizeItGot) {
    struct Case {
        json value;
        std::string got;
    };
    std::string const longOne = "Wq3" + std::string(69997, 'w');
    Case const cases[] = {
        {987654321, "got a number"},
        {longOne, "got 70000 bytes"},
        {std::string("kQ\0zv", 5), "got 5 bytes"},
        {{"s3cret"}, "got an array"},
        {{{"v", "s3cret"}}, "got an object"},
        {true, "got a boolean"},
    };
    testsupport::LogCapture capture(Log::Level::Debug);
    Logger const logger("Config");
    for (auto const& c : cases) {
        SCOPED_TRACE(c.value.dump().substr(0, 40));
        json const document = {{"mqtt", {{"password", c.value}}}};
        std::string const refusal = refusalOf(document);
        EXPECT_EQ(refusal,
                  "setting \"mqtt/password\" must be a text of 0 to 65535 bytes, " + c.got);
        EXPECT_EQ(SettingLimits::withDefaults(document, logger),
                  json({{"mqtt", {{"password", ""}}}}));
    }
    std::string const log = capture.text();
    EXPECT_NE(log.find("[Config] Config file: setting \"mqtt/password\" must be a text of 0 to "
                       "65535 bytes, got a number; using the default \"\""),
              std::string::npos)
        << log;
    for (std::string const secret : {"987654321", "Wq3", "s3cret", "kQ"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
}

TEST(SettingLimitsTest, EveryFaultOfAWriteIsNamedAtOnce) {
    std::string const refusal = refusalOf(
        {{"device", {{"cacheBatchSize", -1}, {"statusPeriod", 1000}}}, {"mqtt", {{"base", "#"}}}});
    EXPECT_EQ(refusal,
              "setting \"device/cacheBatchSize\" must be an integer from 1 to 256, got -1; "
              "setting \"mqtt/base\" must be a topic of 0 to 256 bytes without '+', '#' "
              "or an empty level, got \"#\"");
}

TEST(SettingLimitsTest, FileValuesOutOfTheirLimitsGiveWayToTheDefaultsWithAnErrorLine) {
    json const file = {
        {"device",
         {{"cacheBatchSize", -1},
          {"statusPeriod", 1000},
          {"timeoutMs", "fast"},
          {"socket", {{"address", "127.0.0.1"}, {"port", 70000}, {"speed", 9}}}}},
        {"mqtt", {{"log", "all"}, {"url", "127.0.0.1:2000"}}},
        {"boards", {{"psu", {{"fanMode", "high"}}}, {"main", nullptr}, {"lights", 7}}}};
    testsupport::LogCapture capture(Log::Level::Error);
    Logger const logger("Config");

    json const applied = SettingLimits::withDefaults(file, logger);

    EXPECT_EQ(applied, json({{"device",
                              {{"cacheBatchSize", 20},
                               {"statusPeriod", 1000},
                               {"timeoutMs", 500},
                               {"socket", {{"address", "127.0.0.1"}, {"port", 10000}}}}},
                             {"mqtt", {{"url", "127.0.0.1:2000"}}},
                             {"boards", {{"psu", {{"fanMode", "high"}}}, {"main", nullptr}}}}));
    // The null the service writes for a board without values stays in a file.
    EXPECT_EQ(refusalOf(applied), "section \"boards/main\" must be an object, got null");
    std::string const log = capture.text();
    for (char const* line :
         {"[Config] Config file: setting \"device/cacheBatchSize\" must be an integer from 1 to "
          "256, got -1; using the default 20",
          "[Config] Config file: setting \"device/timeoutMs\" must be an integer from 10 to "
          "10000, got \"fast\"; using the default 500",
          "[Config] Config file: setting \"device/socket/port\" must be an integer from 1 to "
          "65535, got 70000; using the default 10000",
          "[Config] Config file: setting \"device/socket/speed\" is unknown; left out",
          "[Config] Config file: section \"mqtt/log\" must be an object, got 3 bytes; left out",
          "[Config] Config file: section \"boards/lights\" must be an object, got a number; left "
          "out"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

TEST(SettingLimitsTest, FileSectionsThatAreNoObjectsAreLeftOutWithAnErrorLine) {
    struct Case {
        json section;
        char const* got;
    };
    Case const cases[] = {{nullptr, "null"}, {7, "a number"}, {"x", "1 byte"}, {{1}, "an array"}};
    for (auto const& c : cases) {
        for (std::string const name : {"device", "mqtt", "boards"}) {
            SCOPED_TRACE(name + " = " + c.section.dump());
            testsupport::LogCapture capture(Log::Level::Error);
            json const file = {{name, c.section}, {"other", 1}};

            EXPECT_EQ(SettingLimits::withDefaults(file, Logger("Config")), json({{"other", 1}}));
            EXPECT_NE(capture.text().find("[Config] Config file: section \"" + name +
                                          "\" must be an object, got " + c.got + "; left out"),
                      std::string::npos)
                << capture.text();
        }
    }
}

// Each owner's own defaults, where the service takes them from, against the
// declaration: a setting added to an owner without limits, or a default
// changed on one side only, shows here.
TEST(SettingLimitsTest, DeclarationHoldsEveryOwnersSettingWithItsDefault) {
    json const owners = {
        {"device", velt::ZRV480::BoardManager::Manager::Config().toJson()},
        {"mqtt", MQTT::Config("velt/zrv/boardman", "MQTT").toJson()},
    };
    json expected = owners;
    expected["device"]["socket"] = velt::ZRV480::Bus::Config().toJson();

    json declared;
    for (auto const& limit : SettingLimits::all()) {
        declared[pointerTo(limit.path)] = limit.defaultValue;
    }
    EXPECT_EQ(declared, expected);
}

std::vector<std::string> tableRowsOf(std::string const& file, std::string const& heading) {
    std::ifstream in(file);
    std::vector<std::string> rows;
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) {
            inSection = line == heading;
        } else if (inSection && line.rfind("| `", 0) == 0) {
            rows.push_back(line);
        }
    }
    return rows;
}

TEST(SettingLimitsTest, ReadmeReferenceListsEverySettingAsDeclared) {
    std::vector<std::string> expected;
    for (auto const& limit : SettingLimits::all()) {
        expected.push_back("| `" + limit.path + "` | " + limit.type() + " | `" +
                           limit.defaultValue.dump() + "` | " + limit.allowed() + " | " +
                           limit.effect + " |");
    }
    EXPECT_EQ(tableRowsOf(BM_FIXTURES_DIR "/../../README.md", "## Configuration reference"),
              expected);
}

} // namespace

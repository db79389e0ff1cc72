#include "config/MqttAdaptor.h"
#include "config/Config.h"
#include "mqtt/Client.h"
#include "mqtt/Config.h"
#include "mqtt/Message.h"

#include "support/ConfigFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using nlohmann::json;
using velt::ZRV480::BoardManager::Config::Config;
using velt::ZRV480::BoardManager::Config::Configurable;
using velt::ZRV480::BoardManager::Config::MqttAdaptor;

namespace {

// Another owner of the document, refusing every write when told to.
class Refusing : public Configurable {
public:
    void onConfigSet(json const& document) override {
        if (document.is_object() && document.contains("device")) {
            throw std::runtime_error("invalid socket");
        }
    }
    json onConfigGet() const override { return {{"device", {{"statusPeriod", 5000}}}}; }
};

// The adaptor over a client that never connects: settings changes are
// stored for its next start.
class MqttAdaptorTest : public configtest::ConfigFiles {
protected:
    MqttAdaptorTest() {
        config->declareConfigurable(adaptor);
        config->declareConfigurable(std::make_shared<Refusing>());
    }
    ~MqttAdaptorTest() override { config->clearConfigurables(); }

    std::string const file = path("zrv480-boardman.json");
    std::shared_ptr<Config> config = std::make_shared<Config>(file);
    std::shared_ptr<MQTT::Client> client =
        std::make_shared<MQTT::Client>("velt/zrv/boardman", "MQTT");
    std::shared_ptr<MqttAdaptor> adaptor = std::make_shared<MqttAdaptor>(config, client);
};

TEST_F(MqttAdaptorTest, SectionIsMergedOverDefaultsWithAnEmptyBase) {
    MQTT::Config changed = client->getConfig();
    changed.setUsername("operator");
    changed.setKeepAlive(60);
    client->setConfig(changed);

    adaptor->onConfigSet({{"mqtt", {{"url", "127.0.0.1:2000"}}}});

    MQTT::Config const now = client->getConfig();
    EXPECT_EQ(now.getUrl(), "127.0.0.1:2000");
    EXPECT_EQ(now.getBase(), "");
    EXPECT_EQ(now.getUsername(), "");
    EXPECT_EQ(now.getKeepAlive(), 20u);
    EXPECT_EQ(adaptor->onConfigGet(), json({{"mqtt", now.toJson()}}));
    EXPECT_NE(logged().find("[ConfigMqttAdaptor] Setting `mqtt` config to: "
                            "{\"url\":\"127.0.0.1:2000\"}"),
              std::string::npos);
}

TEST_F(MqttAdaptorTest, DocumentsWithoutAChangedSectionLeaveTheClientAlone) {
    json const before = client->getConfig().toJson();
    json const documents[] = {
        {{"mqtt", before}},
        {{"device", {{"statusPeriod", 1000}}}},
        json(7),
        json::array({{{"mqtt", {{"url", "x"}}}}}),
    };
    for (auto const& document : documents) {
        SCOPED_TRACE(document.dump());
        adaptor->onConfigSet(document);
        EXPECT_EQ(client->getConfig().toJson(), before);
    }
    std::string const log = logged();
    EXPECT_NE(log.find("[ConfigMqttAdaptor] `mqtt` config is identical. Ignoring."),
              std::string::npos);
    EXPECT_NE(log.find("[ConfigMqttAdaptor] No `mqtt` field found. Ignoring."), std::string::npos);
    EXPECT_EQ(log.find("Setting `mqtt` config"), std::string::npos);
}

TEST_F(MqttAdaptorTest, ConfigNodeReadsTheMergedDocumentAndIsGraftedAtTheRoot) {
    auto const [ok, document] = adaptor->lambdaTreeUpdate();
    EXPECT_TRUE(ok);
    json section = client->getConfig().toJson();
    section.erase("password");
    EXPECT_EQ(document, json({{"device", {{"statusPeriod", 5000}}}, {"mqtt", section}}));
    // A node that is in the tree is read and published (here without a
    // broker); any other path is refused.
    EXPECT_TRUE(client->publishLambdaTreeNode("config", MQTT::Retained::No, MQTT::QoS::AtMostOnce));
    EXPECT_FALSE(client->publishLambdaTreeNode("other", MQTT::Retained::No, MQTT::QoS::AtMostOnce));
}

TEST_F(MqttAdaptorTest, ConfigNodeWriteAppliesRewritesAndReportsARefusalAfterwards) {
    json const accepted = {{"mqtt", {{"url", "127.0.0.1:2000"}}}};
    auto const [ok, echoed] = adaptor->lambdaTreeSet(accepted);
    EXPECT_TRUE(ok);
    EXPECT_EQ(echoed, accepted);
    EXPECT_EQ(json::parse(readText(file))["mqtt"]["url"], "127.0.0.1:2000");

    json const refused = {{"device", {{"statusPeriod", 1000}}},
                          {"mqtt", {{"url", "127.0.0.1:3000"}}}};
    EXPECT_THROW(adaptor->lambdaTreeSet(refused), std::runtime_error);
    json const written = json::parse(readText(file));
    EXPECT_EQ(written["mqtt"]["url"], "127.0.0.1:3000"); // the other section is applied
    EXPECT_EQ(written["device"]["statusPeriod"], 5000);  // the refused one is not written
}

TEST_F(MqttAdaptorTest, ConfigNodeWriteWithAnUnusableSettingChangesNothing) {
    ASSERT_TRUE(adaptor->lambdaTreeSet({{"mqtt", {{"url", "127.0.0.1:2000"}}}}).first);
    std::string const before = readText(file);

    // The usable "mqtt" section is not applied either.
    json const refused = {{"device", {{"cacheBatchSize", -1}}},
                          {"mqtt", {{"url", "127.0.0.1:3000"}}}};
    try {
        adaptor->lambdaTreeSet(refused);
        ADD_FAILURE() << "the write was accepted";
    } catch (std::invalid_argument const& e) {
        EXPECT_STREQ(e.what(),
                     "setting \"device/cacheBatchSize\" must be an integer from 1 to 256, got -1");
    }
    EXPECT_EQ(client->getConfig().getUrl(), "127.0.0.1:2000");
    EXPECT_EQ(readText(file), before);
}

TEST_F(MqttAdaptorTest, ThePasswordIsNeverReadAndKeptWhenAWriteLeavesItOut) {
    ASSERT_TRUE(adaptor->lambdaTreeSet({{"mqtt", {{"password", "s3cret"}}}}).first);
    EXPECT_EQ(client->getConfig().getPassword(), "s3cret");
    auto const [ok, document] = adaptor->lambdaTreeUpdate();
    ASSERT_TRUE(ok);
    EXPECT_EQ(document.dump().find("s3cret"), std::string::npos);
    EXPECT_FALSE(document["mqtt"].contains("password"));

    // The section a reader saw, written back with one change that keeps
    // the broker and the user, keeps the password.
    json changed = {{"mqtt", document["mqtt"]}};
    changed["mqtt"]["keepAliveSec"] = 45;
    ASSERT_TRUE(adaptor->lambdaTreeSet(changed).first);
    EXPECT_EQ(client->getConfig().getPassword(), "s3cret");
    EXPECT_EQ(json::parse(readText(file))["mqtt"]["password"], "s3cret");

    // An explicit password, even an empty one, replaces it.
    ASSERT_TRUE(adaptor->lambdaTreeSet({{"mqtt", {{"password", ""}}}}).first);
    EXPECT_EQ(client->getConfig().getPassword(), "");
}

// The settings of a service that reaches a remote broker: every member
// differs from its default.
MQTT::Config remoteSettings(MQTT::Config settings) {
    settings.fromJson({{"url", "127.0.0.1:2000"},
                       {"username", "operator"},
                       {"password", "s3cret"},
                       {"clientId", "bm-1"},
                       {"base", "site/a"},
                       {"keepAliveSec", 60},
                       {"log", {{"payload", true}}}});
    return settings;
}

TEST_F(MqttAdaptorTest, OneSettingWrittenBelowTheNodeKeepsAllOthersInTheClientAndTheFile) {
    struct Case {
        std::string path; // below config/mqtt
        std::string payload;
        json changed; // the members that differ afterwards
    };
    Case const cases[] = {
        {"url", "\"127.0.0.1:3000\"", {{"url", "127.0.0.1:3000"}, {"password", ""}}},
        {"username", "\"other\"", {{"username", "other"}, {"password", ""}}},
        {"clientId", "\"bm-2\"", {{"clientId", "bm-2"}}},
        {"base", "\"site/b\"", {{"base", "site/b"}}},
        {"keepAliveSec", "30", {{"keepAliveSec", 30}}},
        {"log/payload", "false", {{"log", {{"payload", false}}}}},
        {"log/published", "true", {{"log", {{"published", true}}}}},
        {"log/received", "true", {{"log", {{"received", true}}}}},
        {"log/subscriptions", "true", {{"log", {{"subscriptions", true}}}}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path + " = " + c.payload);
        MQTT::Config const before = remoteSettings(client->getConfig());
        client->setConfig(before);
        config->reWrite();
        // The node's members are reachable once it has been read.
        client->handleLambdaTreeRpcGet("config", "", "", "read");

        std::string const reply =
            client->handleLambdaTreeRpcSet("config/mqtt/" + c.path, "", c.payload, "write");

        EXPECT_EQ(json::parse(reply)["completed"], true) << reply;
        MQTT::Config expected = before;
        expected.fromJson(c.changed);
        EXPECT_EQ(client->getConfig().toJson(), expected.toJson());
        EXPECT_EQ(json::parse(readText(file))["mqtt"], expected.toJson());
    }
}

TEST_F(MqttAdaptorTest, ThePasswordStaysOnlyWithTheSameBrokerAndUser) {
    struct Case {
        json section;
        std::string password;
    };
    Case const cases[] = {
        {{{"keepAliveSec", 30}}, "s3cret"},
        {{{"url", "127.0.0.1:2000"}, {"username", "operator"}}, "s3cret"}, // the same ones
        {{{"url", "attacker.example:1883"}}, ""},
        {{{"username", "other"}}, ""},
        {{{"url", "attacker.example:1883"}, {"password", "theirs"}}, "theirs"},
        {{{"password", ""}}, ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.section.dump());
        client->setConfig(remoteSettings(client->getConfig()));

        ASSERT_TRUE(adaptor->lambdaTreeSet({{"mqtt", c.section}}).first);

        EXPECT_EQ(client->getConfig().getPassword(), c.password);
        EXPECT_EQ(json::parse(readText(file))["mqtt"]["password"], c.password);
    }
}

TEST_F(MqttAdaptorTest, ASectionThatIsNoObjectRefusesTheWholeWriteThroughTheNode) {
    struct Case {
        std::string path; // below the root
        std::string payload;
        std::string named;
    };
    Case const cases[] = {
        {"config", R"({"mqtt":null})", "section \"mqtt\" must be an object, got null"},
        {"config/mqtt", "null", "section \"mqtt\" must be an object, got null"},
        {"config", R"({"mqtt":7,"device":{"statusPeriod":1000}})",
         "section \"mqtt\" must be an object, got a number"},
        {"config/mqtt", R"("127.0.0.1:3000")", "section \"mqtt\" must be an object, got 14 bytes"},
        {"config/mqtt/log", "null", "section \"mqtt/log\" must be an object, got null"},
        {"config", R"({"mqtt":{"url":"127.0.0.1:3000","log":[]}})",
         "section \"mqtt/log\" must be an object, got an array"},
        {"config", R"({"device":null,"mqtt":{"url":"127.0.0.1:3000"}})",
         "section \"device\" must be an object, got null"},
        {"config/device", "[]", "section \"device\" must be an object, got an array"},
        {"config", R"({"device":{"socket":null},"mqtt":{"url":"127.0.0.1:3000"}})",
         "section \"device/socket\" must be an object, got null"},
        {"config", R"({"boards":null,"mqtt":{"url":"127.0.0.1:3000"}})",
         "section \"boards\" must be an object, got null"},
        {"config", R"({"boards":{"psu":null},"mqtt":{"url":"127.0.0.1:3000"}})",
         "section \"boards/psu\" must be an object, got null"},
        {"config", R"({"boards":{"psu":"on"},"mqtt":{"url":"127.0.0.1:3000"}})",
         "section \"boards/psu\" must be an object, got 2 bytes"},
    };
    client->setConfig(remoteSettings(client->getConfig()));
    config->reWrite();
    std::string const before = readText(file);
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path + " = " + c.payload);
        client->handleLambdaTreeRpcGet("config", "", "", "read");

        json const reply =
            json::parse(client->handleLambdaTreeRpcSet(c.path, "", c.payload, "write"));

        EXPECT_EQ(reply["completed"], false) << reply;
        EXPECT_NE(reply["error"]["config"].value("exception", "").find(c.named), std::string::npos)
            << reply;
        MQTT::Config const now = client->getConfig();
        EXPECT_EQ(now.getUrl(), "127.0.0.1:2000");
        EXPECT_EQ(now.getBase(), "site/a");
        EXPECT_EQ(now.getUsername(), "operator");
        EXPECT_EQ(readText(file), before);
    }
}

TEST_F(MqttAdaptorTest, AWriteThatIsNoObjectIsRefusedAsAnInvalidParameter) {
    client->setConfig(remoteSettings(client->getConfig()));
    config->reWrite();
    std::string const before = readText(file);
    struct Case {
        std::string path;
        std::string payload;
        std::string got;
        std::string expected; // the form the refusal names
    };
    std::string const document = "the configuration takes a JSON object of sections, got ";
    std::string const members = "a JSON object of the members to write is expected here, got ";
    Case const cases[] = {
        {"config", "7", "a number", document},
        {"config", "null", "null", document},
        {"config", "[{\"mqtt\":null}]", "an array", document},
        {"config", "\"s3cret\"", "6 bytes", document},
        {"", "7", "a number", members},
        {"", "[]", "an array", members},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path + " = " + c.payload);
        json const reply =
            json::parse(client->handleLambdaTreeRpcSet(c.path, "", c.payload, "write"));

        EXPECT_EQ(reply["completed"], false) << reply;
        json const refusal = {
            {"code", 22}, {"what", "InvalidParameter"}, {"description", c.expected + c.got}};
        EXPECT_EQ(reply["error"], json({{c.path, refusal}})) << reply;
        EXPECT_EQ(client->getConfig().getBase(), "site/a");
        EXPECT_EQ(readText(file), before);
    }
}

TEST_F(MqttAdaptorTest, AFileSectionThatIsNoObjectLeavesItsSettingsAtTheDefaults) {
    config->clearConfigurables(); // the refusing owner is left out here
    config->declareConfigurable(adaptor);
    struct Case {
        std::string text;
        std::string named;
        std::string base; // in effect afterwards
    };
    std::string const defaultBase = "velt/zrv/boardman";
    Case const cases[] = {
        {R"({"mqtt": null})", "section \"mqtt\" must be an object, got null", defaultBase},
        {R"({"mqtt": 7})", "section \"mqtt\" must be an object, got a number", defaultBase},
        {R"({"mqtt": {"base": "site/a", "log": null}})",
         "section \"mqtt/log\" must be an object, got null", "site/a"},
        {R"({"mqtt": {"base": "site/a"}, "device": null})",
         "section \"device\" must be an object, got null", "site/a"},
        {R"({"mqtt": {"base": "site/a"}, "device": {"socket": null}})",
         "section \"device/socket\" must be an object, got null", "site/a"},
        {R"({"mqtt": {"base": "site/a"}, "boards": null})",
         "section \"boards\" must be an object, got null", "site/a"},
        {R"({"mqtt": {"base": "site/a"}, "boards": {"psu": 5}})",
         "section \"boards/psu\" must be an object, got a number", "site/a"},
    };
    MQTT::Config const defaults = client->getConfig();
    int number = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        client->setConfig(defaults);
        std::string const name = path("start-" + std::to_string(++number) + ".json");
        writeText(name, c.text);
        Config starting(name);
        starting.declareConfigurable(adaptor);

        starting.update();

        MQTT::Config const now = client->getConfig();
        EXPECT_EQ(now.getBase(), c.base);
        EXPECT_EQ(now.getUrl(), defaults.getUrl());
        EXPECT_EQ(now.getUsername(), defaults.getUsername());
        EXPECT_EQ(json::parse(readText(name))["mqtt"], now.toJson());
        EXPECT_EQ(readText(name + ".bad"), c.text); // what the operator wrote stays
        starting.clearConfigurables();
    }
    std::string const log = logged();
    number = 0;
    for (auto const& c : cases) {
        std::string const name = path("start-" + std::to_string(++number) + ".json");
        EXPECT_NE(log.find("[Config] Config file: " + c.named + "; left out"), std::string::npos)
            << c.named;
        EXPECT_NE(log.find("kept as it was in '" + name + ".bad'"), std::string::npos) << name;
    }
}

TEST_F(MqttAdaptorTest, ThePasswordNeverReachesTheLog) {
    client->handleLambdaTreeRpcGet("config", "", "", "read");
    // Refused ones too: of the wrong type, too long.
    std::string const tooLong = "Lq7Zx" + std::string(69995, 'z');
    std::string const writes[][2] = {
        {"config", R"({"mqtt":{"password":"s3cret","url":"127.0.0.1:2000"}})"},
        {"config/mqtt/keepAliveSec", "30"},            // the password in effect goes along
        {"config", R"({"mqtt":{"password":"s3cret")"}, // malformed
        {"config", R"({"mqtt":{"password":987654321}})"},
        {"config/mqtt", R"({"password":987654321})"},
        {"config", R"({"mqtt":{"password":")" + tooLong + R"("}})"},
        {"config/mqtt/password", "\"" + tooLong + "\""}, // no such node: it is never read
        {"config/mqtt/password", "987654321"},
    };
    std::string replies;
    for (auto const& [path, payload] : writes) {
        try {
            replies += client->handleLambdaTreeRpcSet(path, "", payload, "write") + "\n";
        } catch (std::exception const& e) {
            replies += std::string(e.what()) + "\n";
        }
    }
    ASSERT_EQ(client->getConfig().getPassword(), "s3cret");
    ASSERT_EQ(client->getConfig().getKeepAlive(), 30u);
    EXPECT_NE(replies.find("must be a text of 0 to 65535 bytes, got a number"), std::string::npos)
        << replies;
    EXPECT_NE(replies.find("got 70000 bytes"), std::string::npos) << replies;

    std::string const log = logged();
    for (std::string const secret : {"s3cret", "987654321", "Lq7Zx"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
        EXPECT_EQ(replies.find(secret), std::string::npos) << secret;
    }
    // The lines stay, with the password masked.
    for (
        std::string const line : {
            R"(Handling LambdaTree RPC 'config' '{"mqtt":{"password":"***","url":"127.0.0.1:2000"}}')",
            "Handling LambdaTree RPC 'config/mqtt/keepAliveSec' '30'",
            "Handling LambdaTree RPC 'config' '***'",
        }) {
        EXPECT_NE(log.find(line + "\n"), std::string::npos) << line;
    }
    for (std::string const start :
         {"Notifying configurables for setConfig with {", "Setting `mqtt` config to: {"}) {
        size_t const first = log.find(start);
        ASSERT_NE(first, std::string::npos) << start;
        for (size_t at = first; at != std::string::npos; at = log.find(start, at + 1)) {
            std::string const line = log.substr(at, log.find('\n', at) - at);
            EXPECT_NE(line.find(R"("password":"***")"), std::string::npos) << line;
        }
    }
}

} // namespace

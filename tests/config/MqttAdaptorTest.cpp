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

    // A value that is no object is ignored by every owner, still a success.
    EXPECT_TRUE(adaptor->lambdaTreeSet(json(7)).first);

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

TEST_F(MqttAdaptorTest, ThePasswordNeverReachesTheLog) {
    client->handleLambdaTreeRpcGet("config", "", "", "read");
    std::string const writes[][2] = {
        {"config", R"({"mqtt":{"password":"s3cret","url":"127.0.0.1:2000"}})"},
        {"config/mqtt/keepAliveSec", "30"},            // the password in effect goes along
        {"config", R"({"mqtt":{"password":"s3cret")"}, // malformed
    };
    for (auto const& [path, payload] : writes) {
        client->handleLambdaTreeRpcSet(path, "", payload, "write");
    }
    ASSERT_EQ(client->getConfig().getPassword(), "s3cret");
    ASSERT_EQ(client->getConfig().getKeepAlive(), 30u);

    std::string const log = logged();
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
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

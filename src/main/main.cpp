#include "config/Config.h"
#include "config/ConfigAdaptor.h"
#include "config/MqttAdaptor.h"
#include "device/MqttAdaptor.h"
#include "engine/Engine.h"
#include "foundation/Log.h"
#include "foundation/String.h"
#include "main/DisconnectWait.h"
#include "main/Identity.h"
#include "main/StopSignal.h"
#include "mqtt/Client.h"

#include "bus/Schema.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

using namespace velt::ZRV480::BoardManager;

namespace {

Log::Level levelOf(uint32_t verbosity) {
    switch (verbosity) {
    case 0:
        return Log::Level::Error;
    case 1:
        return Log::Level::Warning;
    case 2:
        return Log::Level::Info;
    default:
        return Log::Level::Debug;
    }
}

// The disconnection's notice runs slots of the parts that main releases
// after the client's stop: it is waited for when one follows, and none comes
// after close. Without a connection nothing is waited for.
void stopClient(MQTT::Client& client, DisconnectWait const& disconnectWait) {
    if (client.stop()) {
        disconnectWait.wait(2000);
    }
    client.close();
}

} // namespace

// An exception that escapes ends the process through std::terminate, without
// unwinding into the destructors of a running engine.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
    // Before any thread exists: every thread inherits the blocked stop
    // signals, and only the stop thread takes them.
    StopSignal::block();

    std::string const description =
        String::format("%s v%s (%s, %s)", Common::getProjectDescription().c_str(),
                       Common::getProjectVersion().c_str(), Common::getProgramBuildDate().c_str(),
                       Common::getProgramBuildTime().c_str());

    CLI::App app(description, "");
    bool version = false;
    bool toStderr = false;
    std::string configPath = Common::getDefaultConfigFile();
    uint32_t verbosity = 2;
    app.add_flag("-V,--version", version, "Print version and exit.");
    app.add_flag("-e,--stderr", toStderr, "Print messages to stderr as well as syslog.");
    app.add_option("-f,--conf", configPath,
                   "Configuration file. Default is '" + Common::getDefaultConfigFile() + "'.");
    CLI::Option* const more =
        app.add_flag("-v", "Increases verbosity level of log messages by 1 for each v.");
    app.add_option("--verbose", verbosity, "Sets verbosity level of log messages.");
    try {
        app.parse(argc, argv);
    } catch (CLI::ParseError const& e) {
        return app.exit(e);
    }
    if (version) {
        return app.exit(CLI::CallForHelp());
    }
    if (more->count() > 0) {
        verbosity = static_cast<uint32_t>(std::min<size_t>(more->count(), 3));
    }

    std::ios_base::sync_with_stdio(false);
    Log::open(argv[0], toStderr, true);
    Log::info("%s", description.c_str());
    Log::info("Log level is %d.", static_cast<int>(verbosity));
    Log::setLevel(levelOf(verbosity));

    StopSignal stop;
    int status = 0;
    {
        velt::ZRV480::Bus::Schema const schema;
        Log::info("Schema is valid: %s", schema.isValid() ? "true" : "false");
        schema.print();

        auto config = std::make_shared<Config::Config>(configPath);
        auto engine = std::make_shared<Manager::Engine>(schema);
        auto mqttClient = std::make_shared<MQTT::Client>(Common::getDefaultBaseTopic(), "MQTT");
        auto configMqttAdaptor = std::make_shared<Config::MqttAdaptor>(config, mqttClient);
        auto configAdaptor = std::make_shared<Manager::ConfigAdaptor>(config, engine);
        auto deviceAdaptor = std::make_shared<Manager::MqttAdaptor>(engine, mqttClient);
        DisconnectWait const disconnectWait(*mqttClient);
        config->declareConfigurable(configMqttAdaptor);
        config->declareConfigurable(configAdaptor);
        config->update();

        mqttClient->start();
        // Without limit, but a stop signal ends the wait.
        while (!stop.requested() && !mqttClient->waitConnected(250)) {
        }
        if (stop.setEngine(engine)) {
            try {
                engine->start();
                Log::debug("Main blocks here!");
                stop.waitDone();
            } catch (std::exception const& e) {
                Log::error("Could not start the engine: %s", e.what());
                status = 1;
            }
        } else {
            stop.waitDone();
        }

        // A signal that comes now finds nothing to stop. One during the start
        // may have found the engine not yet running; both stops do nothing
        // when there is nothing to stop.
        stop.setEngine(nullptr);
        engine->stop();
        stopClient(*mqttClient, disconnectWait);
        config->clearConfigurables();
    }
    Log::close();
    return status;
}

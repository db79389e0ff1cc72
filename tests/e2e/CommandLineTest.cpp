#include "support/Process.h"
#include "support/ScratchDir.h"
#include "support/ServiceRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using e2e::Service;

std::string const DescriptionStart = "ZRV480 Board Manager v3.1.5 (";

// The service alone: nothing it could reach is running.
class CommandLineTest : public ::testing::Test {
protected:
    bool exists(std::string const& name) const {
        struct stat info;
        return stat(service.path(name).c_str(), &info) == 0;
    }

    testsupport::ScratchDir const dir;
    Service service{dir.path("service")};
};

TEST_F(CommandLineTest, HelpVersionAndErrorsEndBeforeAnythingStarts) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string output; // start of standard output
        std::string error;  // part of standard error
    };
    Case const cases[] = {
        {{"-V"}, 0, DescriptionStart, ""},
        {{"--version"}, 0, DescriptionStart, ""},
        {{"-h"}, 0, DescriptionStart, ""},
        {{"--help"}, 0, DescriptionStart, ""},
        {{"--no-such-option"},
         109,
         "",
         "The following argument was not expected: --no-such-option"},
        {{"stray"}, 109, "", "The following argument was not expected: stray"},
        {{"--verbose", "-1"}, 104, "", "--verbose"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        std::vector<std::string> argv = {service.path("zrv480-boardman")};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        e2e::Finished const run = e2e::runCommand(argv, dir.path(), 10000);
        EXPECT_EQ(run.status, c.status) << run.error;
        EXPECT_EQ(run.output.rfind(c.output, 0), 0u) << run.output;
        EXPECT_NE(run.error.find(c.error), std::string::npos) << run.error;
        if (c.status == 0) {
            for (char const* line :
                 {"-V,--version                Print version and exit.",
                  "-f,--conf TEXT              Configuration file. Default is "
                  "'./zrv480-boardman.json'.",
                  "--verbose UINT              Sets verbosity level of log messages."}) {
                EXPECT_NE(run.output.find(line), std::string::npos) << line;
            }
        }
    }
    // Nothing ran: no log, no configuration file, no engine files.
    EXPECT_FALSE(exists("zrv480-boardman.json"));
    EXPECT_FALSE(exists("boards-state.json"));
}

TEST_F(CommandLineTest, VerbosityIsLoggedAsGivenAndSetsTheLevel) {
    struct Case {
        std::vector<std::string> arguments;
        char const* logged;
        bool info;  // lines at info level pass
        bool debug; // lines at debug level pass
    };
    Case const cases[] = {
        {{}, "Log level is 2.", true, false},
        {{"--verbose", "0"}, "Log level is 0.", false, false},
        {{"--verbose", "9"}, "Log level is 9.", true, true},
        {{"-v"}, "Log level is 1.", false, false},
        {{"-v", "-v", "--verbose", "0"}, "Log level is 2.", true, false},
        {{"-vvvv"}, "Log level is 3.", true, true},
    };
    // No broker listens on the configured port, so the service waits for it
    // until the signal ends it: a stop before the engine exists.
    service.writeConfig({{"mqtt", {{"base", e2e::Base}, {"url", "127.0.0.1:9"}}},
                         {"device", {{"socket", {{"address", "127.0.0.1"}, {"port", 9}}}}}});
    for (auto const& c : cases) {
        SCOPED_TRACE(c.logged);
        service.start(c.arguments);
        ASSERT_TRUE(service.waitLog(c.logged)) << service.log();
        ASSERT_TRUE(service.waitLog("Connection failed")) << service.log();
        EXPECT_EQ(service.stop(SIGINT), 0);
        std::string const log = service.log();
        // The signal's line is at info level too.
        EXPECT_EQ(log.find("Signal caught: Interrupt [2]") != std::string::npos, c.info) << log;
        EXPECT_EQ(log.find("[Engine] Starting..."), std::string::npos);
        EXPECT_EQ(log.find("Schema is valid: true") != std::string::npos, c.info) << log;
        EXPECT_EQ(log.find("[Config] Reading config file") != std::string::npos, c.debug) << log;
        EXPECT_EQ(log.find("ERROR: "), std::string::npos) << log; // no sanitizer report
    }
}

TEST_F(CommandLineTest, ConfigurationFileIsTheDefaultInTheWorkingDirectoryOrTheOneGiven) {
    // Each file names loopback only and a base of its own: the rewritten
    // file keeping that base shows which file the service read. No broker
    // listens there, so the service waits until the signal ends it.
    struct Case {
        std::vector<std::string> arguments;
        std::string file;
    };
    Case const cases[] = {
        {{}, dir.path("zrv480-boardman.json")},
        {{"-f", "other.json"}, dir.path("other.json")},
        {{"--conf", dir.path("service/third.json")}, dir.path("service/third.json")},
    };
    int count = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.file);
        std::string const base = "read/" + std::to_string(++count);
        std::ofstream(c.file) << nlohmann::json{
            {"mqtt", {{"base", base}, {"url", "127.0.0.1:9"}}},
            {"device", {{"socket", {{"address", "127.0.0.1"}, {"port", 9}}}}}};
        std::vector<std::string> argv = {service.path("zrv480-boardman"), "-e"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        std::string const log = dir.path("run-" + std::to_string(count) + ".log");
        e2e::Process run(argv, dir.path(), dir.path("run.out"), log);
        EXPECT_TRUE(e2e::waitForText(log, "Saving updated config file", e2e::StartMs));
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait(e2e::StartMs), 0);
        nlohmann::json const written = nlohmann::json::parse(e2e::readFile(c.file), nullptr, false);
        EXPECT_EQ(written["mqtt"]["base"], base) << e2e::readFile(log);
        EXPECT_EQ(written["device"]["socket"]["address"], "127.0.0.1");
    }
}

} // namespace

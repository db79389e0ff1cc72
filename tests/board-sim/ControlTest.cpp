#include "ControlCommands.h"
#include "ControlServer.h"
#include "support/SimClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using boardsim::Bytes;
using boardsim::ControlCommands;
using nlohmann::json;

namespace {

struct Control : SimFixture {
    ControlCommands commands{sim};
    json ask(char const* line) { return commands.handleLine(line); }
};

} // namespace

TEST(Control, rulesGivenAsJsonAct) {
    Control c;
    const json added = c.ask(
        R"({"op":"rule","match":{"addr":1,"cmd":5,"slot":240},"action":{"error":130},"times":1})");
    ASSERT_EQ(added["ok"], true) << added;
    EXPECT_EQ(added["id"], 1);
    EXPECT_EQ(c.client.exchange(request(1, 1, 5, 240, {1})), (Bytes{0xC9, 1, 0x82, 240}));
    EXPECT_EQ(c.client.exchange(request(1, 2, 5, 240, {1})), (Bytes{0xC9, 2, 5, 240, 1, 0}));
    EXPECT_EQ(c.ask(R"({"op":"ruleUses","id":1})")["uses"], 1);

    ASSERT_EQ(
        c.ask(R"({"op":"rule","action":{"seq":"=9","payload":"01 02","append":[3]},"chain":true})")
            ["ok"],
        true);
    ASSERT_EQ(c.ask(R"({"op":"rule","match":{"addr":1,"nth":2},"action":{"short":2}})")["ok"],
              true);
    EXPECT_EQ(c.client.exchange(request(1, 3, 127, 0)), (Bytes{0xC9, 9, 0x7F, 0, 1, 2, 3}));
    EXPECT_EQ(c.client.exchange(request(1, 4, 127, 0)), (Bytes{0xC9, 9}));
    EXPECT_EQ(c.ask(R"({"op":"clearRules"})")["ok"], true);
    EXPECT_EQ(c.client.exchange(request(1, 5, 127, 0))->at(1), 5);
}

TEST(Control, stateControlsAndObservation) {
    Control c;
    EXPECT_EQ(c.ask(R"({"op":"setRaw","addr":1,"table":"config","slot":2,"raw":42})")["ok"], true);
    EXPECT_EQ(c.ask(R"({"op":"raw","addr":1,"table":"config","slot":2})")["raw"], 42);
    EXPECT_EQ(c.ask(R"({"op":"putFile","name":"a.txt","base64":"YWJj"})")["ok"], true);
    const json files = c.ask(R"({"op":"files"})")["files"];
    EXPECT_EQ(
        files,
        json::parse(R"([{"name":"a.txt","size":3,"md5":"900150983cd24fb0d6963f7d28e17f72"}])"));
    EXPECT_EQ(c.ask(R"({"op":"getFile","name":"a.txt"})")["base64"], "YWJj");
    EXPECT_EQ(c.ask(R"({"op":"gatewayOnline","value":false})")["ok"], true);
    EXPECT_FALSE(c.client.exchange(request(1, 1, 4, 0), 50));
    EXPECT_EQ(c.ask(R"({"op":"gatewayOnline","value":true})")["ok"], true);
    EXPECT_TRUE(c.client.exchange(request(1, 2, 4, 0)));

    const json waited =
        c.ask(R"({"op":"waitFor","match":{"addr":1,"cmd":4},"count":2,"timeoutMs":1000})");
    EXPECT_EQ(waited["reached"], true);
    const json log = c.ask(R"({"op":"requests"})")["requests"];
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["outcome"], "no reply");
    EXPECT_EQ(log[1]["reply"], "c9 02 04 00 00 00 00 00");
    EXPECT_EQ(log[1]["summary"], "action 0");
    EXPECT_EQ(c.ask(R"({"op":"counters","addr":1,"action":0})")["actions"], 1);
    EXPECT_EQ(c.ask(R"({"op":"reset"})")["ok"], true);
    EXPECT_EQ(c.ask(R"({"op":"raw","addr":1,"table":"config","slot":2})")["raw"], 20);
}

TEST(Control, badRequestsGetAnErrorReply) {
    Control c;
    char const* bad[] = {
        "not json",
        R"([1,2])",
        R"({"op":"nonsense"})",
        R"({"noop":1})",
        R"({"op":"setRaw","addr":9,"table":"config","slot":1,"raw":1})",
        R"({"op":"setRaw","addr":1,"table":"config","slot":99,"raw":1})",
        R"({"op":"setRaw","addr":1,"table":"status","slot":1,"raw":1})",
        R"({"op":"rule","action":{"explode":true}})",
        R"({"op":"rule","match":{"board":1}})",
        R"({"op":"rule","action":{"seq":"7"}})",
        R"({"op":"rule","action":{"short":9}})",
        R"({"op":"putFile","name":"a","base64":"abc"})",
        R"({"op":"present","addr":1,"value":"yes"})",
        R"({"op":"setNetwork","network":{"ip":[1,2,3]}})",
    };
    for (char const* line : bad) {
        const json reply = c.ask(line);
        EXPECT_EQ(reply["ok"], false) << line;
        EXPECT_TRUE(reply["error"].is_string() && !reply["error"].get<std::string>().empty())
            << line;
    }
}

TEST(Control, servesJsonLinesOverTcp) {
    SimFixture f;
    ControlCommands commands(f.sim);
    boardsim::ControlServer server(
        [&](std::string const& line) { return commands.handleLine(line).dump(); });
    EXPECT_THROW(server.start("0.0.0.0", 0), std::invalid_argument);
    const uint16_t port = server.start("127.0.0.1", 0);

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    // Two requests in one write, the second split across writes.
    const std::string first = "{\"op\":\"clock\"}\n\n{\"op\":\"setCl";
    const std::string second = "ock\",\"value\":300}\n";
    ASSERT_EQ(::send(fd, first.data(), first.size(), 0), ssize_t(first.size()));
    ASSERT_EQ(::send(fd, second.data(), second.size(), 0), ssize_t(second.size()));
    std::string received;
    char buffer[512];
    while (std::count(received.begin(), received.end(), '\n') < 2) {
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        received.append(buffer, size_t(n));
    }
    auto const split = received.find('\n');
    EXPECT_EQ(json::parse(received.substr(0, split))["ok"], true);
    EXPECT_EQ(json::parse(received.substr(split + 1)), json::parse(R"({"ok":true})"));
    EXPECT_EQ(f.sim.clock(), 300);
    server.stop(); // with the client still connected
    EXPECT_EQ(::recv(fd, buffer, sizeof(buffer), 0), 0);
    ::close(fd);
}

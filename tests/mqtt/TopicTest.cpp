#include <gtest/gtest.h>

#include <string>

#include "mqtt/Client.h"

namespace {

using MQTT::Client;

struct MatchCase {
    char const* topic;
    char const* filter;
    bool matches;
};

TEST(TopicMatch, FollowsTheServicesOwnRules) {
    MatchCase const cases[] = {
        {"a/b", "a/b", true},
        {"a/b/c", "a/+/c", true},
        {"a/b/c", "a/+", false},
        {"a/b/c/d", "a/+/#", true},
        // A literal filter level fails when the topic has fewer levels.
        {"a/b", "a/+/#", false},
        {"x", "+/+/#", true},
        // '#' without '+' is a test of characters, not of levels.
        {"a/bc", "a/b/#", true},
        {"a/b", "a/b/#", true},
        {"a/b/c", "a/b/#", true},
        {"anything/at/all", "#", true},
        {"", "#", true},
        {"a/b", "a/c", false},
        {"a/b", "a/b/", false},
        // Only a level's last character makes it a wildcard.
        {"a/b/c", "a/x+/c", true},
        {"a/b/c", "a/+x/c", false},
        {"a/xyz", "a/x#", true},
        {"a/b/c", "a/x#", false},
        // '#' in the middle of a filter with '+' ends the comparison there.
        {"a/b/c", "+/#/zzz", true},
        {"a/b/c/d", "+/#/zzz", false},
        // '#' in a filter without '+' that does not end in it is literal.
        {"a/#/c", "a/#/c", true},
        {"a/b/c", "a/#/c", false},
        // Empty levels vanish when levels are compared.
        {"a//b/c", "a/+/c", true},
        {"/a/b", "+/b", true},
        // Different level counts without a trailing '#'.
        {"a/b", "a/b/+", false},
        {"a", "+/+", false},
        // Fewer topic levels than a filter ending in '#': only '+' and '#'.
        {"a", "+/+/#", true},
        {"a", "+/b/#", false},
        {"", "+/#", true},
        // '+' alone.
        {"a", "+", true},
        {"a/b", "+", false},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(Client::topicMatch(c.topic, c.filter), c.matches)
            << "topic '" << c.topic << "' filter '" << c.filter << "'";
    }
}

struct RemoveCase {
    char const* topic;
    char const* part;
    char const* result;
};

TEST(RemoveTopicPart, MakesTopicsRelative) {
    RemoveCase const cases[] = {
        {"b/c/main/status", "b/c", "main/status"},
        {"b//x/y", "b", "x/y"},
        {"b/x", "", "b/x"},
        {"b/x", "q", "b/x"},
        {"b", "b", ""},
        {"b/", "b", ""},
        // The first occurrence goes, wherever it stands.
        {"x/b/y", "b", "x/y"},
        {"b/x/b", "b", "x/b"},
        // Runs of '/' are reduced everywhere, one leading '/' dropped.
        {"b/x//y///z", "b", "x/y/z"},
        {"//b/x", "b", "x"},
        {"abc/x", "b", "ac/x"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(Client::removeTopicPart(c.topic, c.part), c.result)
            << "topic '" << c.topic << "' part '" << c.part << "'";
    }
}

struct RequestCase {
    char const* base;
    char const* topic;
    char const* issuer;
    char const* name;
    char const* id;
};

TEST(RpcTopics, RequestsParseBelowTheBaseTopic) {
    RequestCase const cases[] = {
        {"b", "b/main/action/fileDelete/request/42", "", "main/action/fileDelete", "42"},
        {"b", "b/main/action/fileDelete/request/ui/42", "ui", "main/action/fileDelete", "42"},
        {"b/", "b/main/action/fileDelete/request/7", "", "main/action/fileDelete", "7"},
        {"", "main/action/fileDelete/request/7", "", "main/action/fileDelete", "7"},
        {"a/b", "a/b/n/request/1", "", "n", "1"},
        // The id is everything after the issuer.
        {"b", "b/n/request/s/1/2", "s", "n", "1/2"},
        // Not taken: nothing after the marker, an empty issuer level, no
        // marker, another base topic.
        {"b", "b/n/request/", "", "", ""},
        {"b", "b/n/request//42", "", "", ""},
        {"b", "b/n/response/42", "", "", ""},
        {"b", "c/n/request/42", "", "", ""},
        {"b", "b/request/42", "", "", ""},
    };
    for (auto const& c : cases) {
        Client client(c.base, "MQTT");
        Client::RpcData const data = client.parseRpcTopicRequest(c.topic);
        EXPECT_EQ(data.issuer, c.issuer) << c.topic;
        EXPECT_EQ(data.name, c.name) << c.topic;
        EXPECT_EQ(data.id, c.id) << c.topic;
    }
}

TEST(RpcTopics, ResponsesSplitAtTheFirstMarker) {
    RequestCase const cases[] = {
        {"", "other/call/response/12345", "", "other/call", "12345"},
        {"", "x/response/a/response/1", "", "x", "a/response/1"},
        {"", "x/response/", "", "x", ""},
        {"", "x/request/1", "", "", ""},
    };
    for (auto const& c : cases) {
        Client::RpcData const data = Client::parseRpcTopicResponse(c.topic);
        EXPECT_EQ(data.issuer, c.issuer) << c.topic;
        EXPECT_EQ(data.name, c.name) << c.topic;
        EXPECT_EQ(data.id, c.id) << c.topic;
    }
}

TEST(RpcReplies, LeaveOutOnlyEmptyJsonValues) {
    using json = nlohmann::json;
    struct ReplyCase {
        std::string made;
        char const* expected;
    };
    ReplyCase const cases[] = {
        {Client::makeRpcCompleted(nullptr), R"({"completed":true})"},
        {Client::makeRpcCompleted(json::object()), R"({"completed":true})"},
        {Client::makeRpcCompleted(json::array()), R"({"completed":true})"},
        {Client::makeRpcCompleted(5), R"({"completed":true,"data":5})"},
        {Client::makeRpcCompleted(""), R"({"completed":true,"data":""})"},
        {Client::makeRpcCompleted(false), R"({"completed":true,"data":false})"},
        {Client::makeRpcCompleted({{"z", 1}, {"a", 2}}),
         R"({"completed":true,"data":{"a":2,"z":1}})"},
        {Client::makeRpcFailed({{"code", 1}}, nullptr),
         R"({"completed":false,"error":{"code":1}})"},
        {Client::makeRpcFailed(nullptr, nullptr), R"({"completed":false})"},
        {Client::makeRpcFailed("x", 0), R"({"completed":false,"data":0,"error":"x"})"},
        {Client::makeRpcFailed(json::object(), json::array({1})),
         R"({"completed":false,"data":[1]})"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(c.made, c.expected);
    }
}

} // namespace

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "mqtt/Client.h"
#include "mqtt/TopicTable.h"

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

// Filters of every kind, with exact topics that other filters match too.
std::vector<std::string> const Filters = {
    "a/b",     "a/+",     "+/b",     "a/#", "a/b#", "a/b/#", "a/get", "a/g+",  "#",   "x/get",
    "x/get/#", "x/+/set", "x/1/set", "+",   "a",    "a/#/c", "b/+/#", "a/b/c", "c/d", "a/x+/c",
};

// What a scan of every filter in order finds: the first one that matches.
std::string firstByScan(std::map<std::string, int> const& registered, std::string const& topic) {
    for (auto const& entry : registered) {
        if (Client::topicMatch(topic, entry.first)) {
            return entry.first;
        }
    }
    return "none";
}

std::string found(MQTT::TopicTable<int> const& table, std::string const& topic) {
    auto const entry = table.match(topic, Client::topicMatch);
    return entry == table.end() ? "none" : entry->first;
}

TEST(TopicTable, TheFirstMatchingFilterInOrderWinsExactOrNot) {
    struct Case {
        std::vector<std::string> filters;
        char const* topic;
        char const* winner;
    };
    Case const cases[] = {
        // '+' and '#' sort before letters: the wildcard comes first.
        {{"x/get", "x/+"}, "x/get", "x/+"},
        {{"x/get", "+/get"}, "x/get", "+/get"},
        {{"x/get", "x/g+"}, "x/get", "x/g+"},
        // A filter that extends the exact topic comes after it.
        {{"x/get", "x/get/#"}, "x/get", "x/get"},
        {{"a/b", "a/b#"}, "a/b", "a/b"},
        // Neither matches, or only one of them.
        {{"x/get", "x/+"}, "x/set/y", "none"},
        {{"x/get", "y/+"}, "x/get", "x/get"},
        {{"x/get", "x/+"}, "x/set", "x/+"},
        // A filter's own text matches it even where it holds wildcards.
        {{"a/+"}, "a/+", "a/+"},
    };
    for (auto const& c : cases) {
        MQTT::TopicTable<int> table;
        for (auto const& filter : c.filters) {
            EXPECT_TRUE(table.emplace(filter, 0));
        }
        EXPECT_EQ(found(table, c.topic), c.winner) << c.topic;
    }
}

TEST(TopicTable, FindsWhatAScanInFilterOrderFindsAsFiltersComeAndGo) {
    std::vector<std::string> topics = Filters;
    for (char const* topic : {"a/b/c/d", "a/bc", "x/1/set", "x/2/set", "q", "", "a/b/", "c/d/e"}) {
        topics.push_back(topic);
    }
    MQTT::TopicTable<int> table;
    std::map<std::string, int> registered;
    auto const compare = [&](char const* step) {
        for (auto const& topic : topics) {
            EXPECT_EQ(found(table, topic), firstByScan(registered, topic))
                << step << ", topic '" << topic << "'";
        }
        EXPECT_EQ(table.size(), registered.size()) << step;
    };
    for (size_t i = 0; i < Filters.size(); ++i) {
        EXPECT_TRUE(table.emplace(Filters[i], static_cast<int>(i)));
        registered.emplace(Filters[i], static_cast<int>(i));
        compare(("added " + Filters[i]).c_str());
    }
    // A second registration keeps the first handler.
    EXPECT_FALSE(table.emplace("a/+", 99));
    EXPECT_FALSE(table.emplace("a/b", 99));
    for (auto const& entry : table) {
        EXPECT_NE(entry.second, 99) << entry.first;
    }

    // Removed in another order than added, every other one first.
    for (size_t step = 0; step < 2; ++step) {
        for (size_t i = step; i < Filters.size(); i += 2) {
            EXPECT_EQ(table.erase(Filters[i]), 1u);
            EXPECT_EQ(table.erase(Filters[i]), 0u);
            registered.erase(Filters[i]);
            compare(("removed " + Filters[i]).c_str());
        }
    }
    EXPECT_EQ(table.begin(), table.end());
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

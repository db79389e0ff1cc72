#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/LambdaTree.h"
#include "foundation/Utils.h"

using json = nlohmann::json;
using Answer = std::pair<bool, json>;
using Errors = LambdaTree::Errors;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

// root
//  +- boards
//  |   +- b1
//  |   |   +- mode         (get, set)
//  |   |   +- temperature  (get)
//  |   +- b2
//  |       +- voltage      (get)
//  +- config               (get, set; reads an object)
//  +- settings
//      +- a, b, c          (get, set)
// Every getter answers what `reads` holds for its name; every setter records
// the call and, unless `writes` holds an answer for it, stores the value.
class LambdaTreeValues : public testing::Test {
protected:
    LambdaTreeValues() {
        root["boards"]["b1"].insert({"mode", LambdaTree(getter("mode"), setter("mode"))});
        root["boards"]["b1"].insert({"temperature", LambdaTree(getter("temperature"))});
        root["boards"]["b2"].insert({"voltage", LambdaTree(getter("voltage"))});
        root.insert({"config", LambdaTree(getter("config"), setter("config"))});
        for (char const* name : {"a", "b", "c"}) {
            root["settings"].insert({name, LambdaTree(getter(name), setter(name))});
        }
        reads = {{"mode", {true, "auto"}},  {"temperature", {true, 21}},
                 {"voltage", {true, 12.5}}, {"config", {true, {{"x", {{"y", 1}}}, {"z", {1, 2}}}}},
                 {"a", {true, 1}},          {"b", {true, 2}},
                 {"c", {true, 3}}};
    }

    LambdaTree::Getter getter(std::string const& name) {
        return [this, name] {
            calls.push_back("get " + name);
            return reads[name];
        };
    }

    LambdaTree::Setter setter(std::string const& name) {
        return [this, name](json const& value) {
            calls.push_back("set " + name + " " + value.dump());
            auto answer = writes.find(name);
            if (answer != writes.end()) {
                return answer->second;
            }
            reads[name] = {true, value};
            return Answer{true, nullptr};
        };
    }

    std::map<std::string, Answer> reads;
    std::map<std::string, Answer> writes;
    std::vector<std::string> calls;
    LambdaTree root;
};

std::pair<bool, json> readNothing() {
    return {true, nullptr};
}

} // namespace

TEST_F(LambdaTreeValues, UpdateOfOneLeafReadsOnlyThatLeaf) {
    EXPECT_THAT(root.update(""), IsEmpty());
    calls.clear();

    EXPECT_THAT(root.update("boards/b1/temperature"), IsEmpty());
    EXPECT_THAT(calls, ElementsAre("get temperature"));
    EXPECT_EQ(root.get("boards/b1/temperature"), json(21));
    // Every group on the way now holds just what this walk visited.
    EXPECT_EQ(root.getInternal(), json({{"boards", {{"b1", {{"temperature", 21}}}}}}));
    EXPECT_EQ(root.get("boards/b1"), json({{"temperature", 21}}));
    // Nodes off the path keep what the earlier walk left.
    EXPECT_EQ(root.get("settings"), json({{"a", 1}, {"b", 2}, {"c", 3}}));
}

TEST_F(LambdaTreeValues, UpdateOfTheRootReadsEveryGetterOnceDepthFirst) {
    EXPECT_THAT(root.update("/"), IsEmpty());
    EXPECT_THAT(calls, ElementsAre("get mode", "get temperature", "get voltage", "get config",
                                   "get a", "get b", "get c"));
    json const expected = {
        {"boards", {{"b1", {{"mode", "auto"}, {"temperature", 21}}}, {"b2", {{"voltage", 12.5}}}}},
        {"config", {{"x", {{"y", 1}}}, {"z", {1, 2}}}},
        {"settings", {{"a", 1}, {"b", 2}, {"c", 3}}}};
    EXPECT_EQ(root.get(""), expected);
    EXPECT_EQ(root.get("config/x/y"), json(1));
    EXPECT_EQ(root.get("config/z/1"), json(2));
}

TEST_F(LambdaTreeValues, SetOnAGroupWritesOnlyTheChildrenItNames) {
    EXPECT_THAT(root.set("settings", {{"a", 10}, {"c", 30}, {"unknown", 9}}), IsEmpty());
    EXPECT_THAT(calls, ElementsAre("set a 10", "get a", "set c 30", "get c"));
    EXPECT_EQ(root.get("settings"), json({{"a", 10}, {"c", 30}}));
    EXPECT_EQ(root.get("settings/b"), json());
}

TEST_F(LambdaTreeValues, SetOnAGroupWithoutAnObjectIsRefusedAndWritesNothing) {
    struct Case {
        json value;
        char const* got;
    };
    Case const cases[] = {
        {5, "a number"}, {{1, 2}, "an array"}, {"s3cret", "6 bytes"}, {nullptr, "null"}};
    for (auto const& c : cases) {
        for (std::string const path : {"", "settings", "boards/b1"}) {
            SCOPED_TRACE(path + " = " + c.value.dump());
            ASSERT_THAT(root.update(""), IsEmpty());
            json const before = root.get(path);
            calls.clear();
            json const refusal = {
                {"code", 22},
                {"what", "InvalidParameter"},
                {"description", std::string("a JSON object of the members to write is expected "
                                            "here, got ") +
                                    c.got}};

            EXPECT_EQ(root.set(path, c.value), (Errors{{path, refusal}}));
            EXPECT_THAT(calls, IsEmpty());
            EXPECT_EQ(root.get(path), before); // the group keeps its value
        }
    }
    // Within an object, a group member that is no object is refused by its name.
    EXPECT_EQ(root.set("", {{"settings", 7}}).count("settings"), 1u);
}

TEST_F(LambdaTreeValues, EachSetterReceivesItsPartOfTheValue) {
    json const original = reads["config"].second;
    struct Case {
        char const* path;
        json value;
        char const* setterCall;
    };
    Case const cases[] = {
        {"config/x/y", 5, R"(set config {"x":{"y":5}})"},
        {"/config/z/1/", "v", R"(set config {"z":{"1":"v"}})"},
        {"config", {{"k", true}}, R"(set config {"k":true})"},
        {"boards/b1/mode", "eco", R"(set mode "eco")"},
        // Groups split the value by member names only where the path ends.
        {"boards", {{"b1", {{"mode", "eco"}}}}, R"(set mode "eco")"},
        {"settings/a", {{"a", 5}}, R"(set a {"a":5})"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path);
        reads["config"] = {true, original};
        root.update("config");
        calls.clear();
        EXPECT_THAT(root.set(c.path, c.value), IsEmpty());
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0], c.setterCall);
        EXPECT_THAT(calls[1], testing::StartsWith("get "));
    }
}

TEST_F(LambdaTreeValues, SetOnANodeWithoutSetterOnlyReadsBack) {
    EXPECT_THAT(root.set("boards/b1/temperature", 99), IsEmpty());
    EXPECT_THAT(calls, ElementsAre("get temperature"));
    EXPECT_EQ(root.get("boards/b1/temperature"), json(21));
}

TEST(LambdaTreeAnswers, FailuresBecomeErrorsUnderTheNodesPath) {
    auto const fail = [](json document) {
        return [document](auto&&...) { return Answer{false, document}; };
    };
    auto const good = [](json value) { return [value](auto&&...) { return Answer{true, value}; }; };
    auto const thrower = [](char const* text) {
        return [text](auto&&...) -> Answer { throw std::runtime_error(text); };
    };
    struct Case {
        char const* name;
        LambdaTree::Setter write;
        LambdaTree::Getter read;
        Errors errors;
        json value;
    };
    Case const cases[] = {
        {"both succeed", good(nullptr), good(7), {}, 7},
        {"write refused", fail({{"code", 5}}), good(7), {{"b/n", {{"code", 5}}}}, 7},
        {"write throws", thrower("nope"), good(7), {{"b/n", {{"exception", "nope"}}}}, 7},
        {"read refused", good(nullptr), fail("gone"), {{"b/n", "gone"}}, nullptr},
        {"read throws",
         good(nullptr),
         thrower("boom"),
         {{"b/n", {{"exception", "boom"}}}},
         nullptr},
        {"failed read hides failed write", fail(1), fail(2), {{"b/n", 2}}, nullptr},
        {"empty getter",
         good(nullptr),
         LambdaTree::Getter(),
         {{"b/n", {{"exception", std::bad_function_call().what()}}}},
         nullptr},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        LambdaTree root;
        root["b"].insert({"n", LambdaTree(c.read, c.write)});
        EXPECT_EQ(root.set("b/n", 3), c.errors);
        EXPECT_EQ(root.get("b/n"), c.value);
        EXPECT_EQ(root.get(""), json({{"b", {{"n", c.value}}}}));

        // Topics are relative to the node the walk started on.
        Errors fromGroup;
        for (auto const& error : c.errors) {
            fromGroup["n"] = error.second;
        }
        EXPECT_EQ(root.at("b").set("n", 3), fromGroup);
    }
}

TEST(LambdaTreeAnswers, ErrorPathsJoinNamesAsCombinePathDoes) {
    std::vector<std::vector<std::string>> const cases = {
        {"a", "b", "c"}, {"", "b", "c"}, {"a/", "/b", "c"}, {"/", "", "/c"}, {"a", "/", "c"},
    };
    for (auto const& names : cases) {
        std::string expected;
        for (auto const& name : names) {
            expected = Utils::combinePath(expected, name);
        }
        SCOPED_TRACE(expected);
        LambdaTree middle;
        middle.insert({names[1], LambdaTree(LambdaTree::Children{{names[2], LambdaTree([] {
                                                                      return Answer{false, 1};
                                                                  })}})});
        LambdaTree root;
        root.insert({names[0], middle});
        EXPECT_EQ(root.update(""), Errors({{expected, 1}}));
    }
}

TEST(LambdaTreeAnswers, ExceptionsOutsideTheStandardHierarchyPropagate) {
    LambdaTree root;
    root.insert({"n", LambdaTree([]() -> Answer { throw 42; })});
    EXPECT_THROW(root.update(""), int);
}

TEST_F(LambdaTreeValues, ReadsRebuildJsonChildrenAndAFailedReadKeepsThem) {
    reads["config"] = {true, {{"a", 1}, {"b", 2}}};
    root.update("config");
    EXPECT_EQ(root.at("config").size(), 2u);
    EXPECT_EQ(root.at("config").at("b").getAbilities(), root.at("config").getAbilities());
    EXPECT_EQ(root.at("config").at("a").getParent(), &root.at("config"));

    root.at("config").at("a").connect("", [] {});
    reads["config"] = {false, {{"exception", "boom"}}};
    EXPECT_EQ(root.update("config"), Errors({{"config", {{"exception", "boom"}}}}));
    EXPECT_EQ(root.get("config"), json());
    EXPECT_EQ(root.get("config/b"), json(2));

    reads["config"] = {true, {{"a", 5}}};
    root.update("config");
    EXPECT_EQ(root.at("config").size(), 1u);
    EXPECT_EQ(root.get("config/a"), json(5));
    // The rebuilt child starts without the callback of its predecessor.
    EXPECT_EQ(root.connect("config/a", [] {}), 1u);

    reads["config"] = {true, "scalar"};
    root.update("config");
    EXPECT_EQ(root.at("config").size(), 1u);
}

TEST_F(LambdaTreeValues, JsonChildrenMatchAFreshMirrorWhateverTheShapeBecomes) {
    // Each read changes the shape the previous one left: values turning into
    // objects or arrays and back, members and elements coming and going.
    json const documents[] = {
        {{"a", 1}, {"b", {{"c", "x"}, {"d", {1, 2, 3}}}}},
        {{"a", {{"n", 1}}}, {"b", {{"c", "a longer text"}, {"d", {1}}}}},
        {{"b", {{"c", nullptr}, {"d", {1, {2}, {{"e", 3}}}}, {"f", true}}}, {"g", json::array()}},
        {{"a", 1}, {"b", {{"f", false}}}},
        {{"a", 1}, {"b", 5}},
        // Members coming between, before and after the ones kept.
        {{"a", 1}, {"aa", {{"b", 1}, {"d", 2}}}, {"b", 5}},
        {{"B", 1}, {"aa", {{"a", 0}, {"c", 3}, {"d", 2}, {"e", 4}}}},
        {{{"x", 1}}, 2, 3, 4, 5, 6, 7, 8, 9, 10, {11}},
        {json::object(), "1"},
        {{"0", {1, 2}}, {"1", json::object()}},
    };
    for (json const& document : documents) {
        SCOPED_TRACE(document.dump());
        reads["config"] = {true, document};
        root.update("config");
        LambdaTree const fresh(root.at("config").getAbilities(), document);
        LambdaTree const& mirror = root.at("config");
        ASSERT_EQ(mirror.topicDump("", LambdaTree::Get), fresh.topicDump("", LambdaTree::Get));
        for (auto const& path : fresh.topicDump("", LambdaTree::Get)) {
            EXPECT_EQ(mirror.dump(path), fresh.dump(path)) << path;
            if (path.empty()) {
                continue; // the lambda node itself
            }
            LambdaTree const& node = mirror.target(path, "");
            EXPECT_EQ(node.getKind(), fresh.target(path, "").getKind()) << path;
            EXPECT_EQ(node.getAbilities(), fresh.target(path, "").getAbilities()) << path;
            auto const slash = path.rfind('/');
            EXPECT_EQ(node.getParent(),
                      &mirror.target(slash == std::string::npos ? "" : path.substr(0, slash), ""))
                << path;
        }
    }
}

TEST_F(LambdaTreeValues, AReadThatFindsTheValueUnchangedKeepsTextAndNodesOnlyWhileTheyHold) {
    // Each step reads a value, maybe after a change by hand; then the node's
    // text, its JSON children and their callbacks must be those of a node
    // that read the value for the first time.
    struct Step {
        char const* name;
        json document;
        std::function<void(LambdaTree&)> before;
        char const* text;
        bool callbackConnected = false;
    };
    auto const nothing = [](LambdaTree&) {};
    Step const steps[] = {
        {"first read", {{"a", 1}, {"b", {{"c", 0.5}}}}, nothing, R"({"a":1,"b":{"c":0.5}})"},
        {"same again", {{"a", 1}, {"b", {{"c", 0.5}}}}, nothing, R"({"a":1,"b":{"c":0.5}})"},
        {"equal number of another kind",
         {{"a", 1.0}, {"b", {{"c", 0.5}}}},
         nothing,
         R"({"a":1.0,"b":{"c":0.5}})"},
        {"negative zero",
         {{"a", 1.0}, {"b", {{"c", -0.0}}}},
         nothing,
         R"({"a":1.0,"b":{"c":-0.0}})"},
        {"unsigned for signed",
         {{"a", 1u}, {"b", {{"c", -0.0}}}},
         nothing,
         R"({"a":1,"b":{"c":-0.0}})"},
        {"callback on a child",
         {{"a", 1u}, {"b", {{"c", -0.0}}}},
         [](LambdaTree& node) { node.connect("b/c", [] {}); },
         R"({"a":1,"b":{"c":-0.0}})",
         true},
        {"child erased by hand",
         {{"a", 1u}, {"b", {{"c", -0.0}}}},
         [](LambdaTree& node) { node.at("b").erase("c"); },
         R"({"a":1,"b":{"c":-0.0}})"},
        {"child replaced by hand",
         {{"a", 1u}, {"b", {{"c", -0.0}}}},
         [](LambdaTree& node) { node.at("b") = LambdaTree(); },
         R"({"a":1,"b":{"c":-0.0}})"},
        {"member added",
         {{"a", 1u}, {"b", {{"c", -0.0}, {"d", "x"}}}},
         nothing,
         R"({"a":1,"b":{"c":-0.0,"d":"x"}})"},
    };
    for (auto const& step : steps) {
        SCOPED_TRACE(step.name);
        step.before(root.at("config"));
        reads["config"] = {true, step.document};
        root.update("config");
        EXPECT_EQ(root.dump("config"), step.text);
        EXPECT_EQ(root.dump(""), root.get("").dump());
        LambdaTree const fresh(root.at("config").getAbilities(), step.document);
        LambdaTree const& mirror = root.at("config");
        ASSERT_EQ(mirror.topicDump("", LambdaTree::Get), fresh.topicDump("", LambdaTree::Get));
        for (auto const& path : fresh.topicDump("", LambdaTree::Get)) {
            EXPECT_EQ(mirror.dump(path), fresh.dump(path)) << path;
        }
        if (step.callbackConnected) {
            // The callback went with the read, as on a child built afresh.
            EXPECT_EQ(root.connect("config/b/c", [] {}), 1u);
            root.disconnect("config/b/c", 1);
            root.update("config");
        }
    }
}

TEST_F(LambdaTreeValues, AbortOnErrorStopsAGroupAfterTheFirstRealFailure) {
    struct Case {
        char const* name;
        bool abortOnError;
        json document;
        std::vector<std::string> calls;
    };
    Case const cases[] = {
        {"going on", false, {{"code", 1}}, {"get a", "get b", "get c"}},
        {"aborting", true, {{"code", 1}}, {"get a", "get b"}},
        {"true is no failure", true, true, {"get a", "get b", "get c"}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        root.setAbortOnError(c.abortOnError);
        reads["b"] = {false, c.document};
        calls.clear();
        EXPECT_EQ(root.update("settings"), Errors({{"settings/b", c.document}}));
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(root.get("settings").size(), c.calls.size());
    }
}

TEST_F(LambdaTreeValues, DumpWritesTheTextOfGetAfterEveryKindOfWalk) {
    auto const everyNode = [this](char const* step) {
        for (auto const& path : root.topicDump("", LambdaTree::Get)) {
            EXPECT_EQ(root.dump(path), root.get(path).dump()) << step << ", node '" << path << "'";
        }
    };
    everyNode("never walked");
    root.update("");
    everyNode("whole tree");
    root.update("boards/b1/temperature");
    everyNode("one leaf");
    root.set("settings", {{"a", 10}, {"c", 30}});
    everyNode("two members");
    root.set("settings", 5);
    everyNode("no member");
    reads["config"] = {false, {{"code", 1}}};
    root.setAbortOnError(true);
    root.update("");
    everyNode("failed read, aborted walk");
    EXPECT_EQ(root.dump(""), R"({"boards":{"b1":{"mode":"auto","temperature":21},)"
                             R"("b2":{"voltage":12.5}},"config":null})");
}

TEST_F(LambdaTreeValues, UnresolvedPathsThrowBeforeAnythingChanges) {
    root.update("");
    json const before = root.get("");
    calls.clear();
    for (char const* path : {"boards/x/y", "zzz", "config/nothing"}) {
        SCOPED_TRACE(path);
        EXPECT_THROW(root.update(path), std::runtime_error);
        EXPECT_THROW(root.set(path, {{"mode", "eco"}}), std::runtime_error);
    }
    try {
        root.set("boards/x/y", 1);
        ADD_FAILURE() << "set of a missing path returned";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "LambdaTree::Target failed from boards to x/y");
    }
    EXPECT_THAT(calls, IsEmpty());
    EXPECT_EQ(root.get(""), before);
}

TEST(LambdaTreeWalk, JsonNodesCannotBeWalked) {
    LambdaTree root;
    root.insert({"leaf", LambdaTree([] { return Answer{true, 1}; })});
    root.insert({"raw", LambdaTree(LambdaTree::Get, json{{"k", 1}})});
    EXPECT_TRUE(root.update("leaf").empty());
    json const before = root.get("");

    try {
        root.update("");
        ADD_FAILURE() << "walk through a JSON node returned";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "impossible node");
    }
    EXPECT_EQ(root.get(""), before);
    EXPECT_THROW(root.at("raw").update(""), std::runtime_error);
    EXPECT_THROW(root.set("raw/k", 2), std::runtime_error);
}

TEST_F(LambdaTreeValues, CopiesKeepTheirOwnCachedValues) {
    root.update("");
    LambdaTree copy(root);
    EXPECT_EQ(copy.get(""), root.get(""));

    reads["temperature"] = {true, 30};
    copy.update("boards/b1/temperature");
    EXPECT_EQ(copy.get("boards/b1/temperature"), json(30));
    EXPECT_EQ(root.get("boards/b1/temperature"), json(21));
    EXPECT_EQ(root.get("boards/b2/voltage"), json(12.5));
}

TEST(LambdaTreeMonitors, IdsCountPerNodeAndAreNeverReused) {
    LambdaTree root;
    root["a"];
    EXPECT_EQ(root.connect("a", [] {}), 1u);
    EXPECT_EQ(root.connect("a", [] {}), 2u);
    EXPECT_EQ(root.connect("", [] {}), 1u);
    EXPECT_TRUE(root.disconnect("a", 1));
    EXPECT_FALSE(root.disconnect("a", 1));
    EXPECT_FALSE(root.disconnect("a", -1));
    EXPECT_FALSE(root.disconnect("a", 0));
    EXPECT_EQ(root.connect("/a/", [] {}), 3u);
}

// root -> a -> b -> leaf, the leaf bound to a signal.
class LambdaTreeChanges : public testing::Test {
protected:
    LambdaTreeChanges() {
        root["a"]["b"].insert({"leaf", LambdaTree(
                                           [this] {
                                               return Answer{true, leafValue};
                                           },
                                           signal)});
    }

    std::function<void()> record(std::string const& name) {
        return [this, name] { order.push_back(name); };
    }

    Signal<> signal; // outlives the tree
    json leafValue = {{"j", 1}};
    std::vector<std::string> order;
    LambdaTree root;
};

TEST_F(LambdaTreeChanges, AnEmissionRunsTheCallbacksOfTheNodeAndEveryAncestor) {
    root.connect("", record("root"));
    root.connect("a", record("a"));
    root.connect("a/b", record("b"));
    root.connect("a/b/leaf", record("leaf 1"));
    root.connect("a/b/leaf", record("leaf 2"));
    root["a"]["other"];
    root.connect("a/other", record("sibling"));

    signal.emit();
    EXPECT_THAT(order, ElementsAre("leaf 1", "leaf 2", "b", "a", "root"));
}

TEST_F(LambdaTreeChanges, CallbacksOnJsonChildrenDoNotRun) {
    root.update("");
    root.connect("a/b/leaf/j", record("json child"));
    signal.emit();
    EXPECT_THAT(order, IsEmpty());
}

TEST_F(LambdaTreeChanges, CallbacksMayRefreshTheTreeInsideTheEmission) {
    root.update("");
    root.connect("a", [this] {
        root.update("a/b/leaf");
        order.push_back(root.get("a/b/leaf").dump());
    });
    leafValue = {{"k", 2}};
    signal.emit();
    EXPECT_THAT(order, ElementsAre(R"({"k":2})"));
    EXPECT_FALSE(root.topicExists("a/b/leaf/j"));
}

TEST_F(LambdaTreeChanges, ACallbackMayDisconnectALaterOne) {
    root.connect("a", [this] { root.disconnect("a", 2); });
    root.connect("a", record("removed"));
    root.connect("a", record("kept"));
    signal.emit();
    EXPECT_THAT(order, ElementsAre("kept"));
}

TEST_F(LambdaTreeChanges, ACallbackMayDisconnectItself) {
    // The capture is read after the disconnect: a callback destroyed while it
    // runs would be a use after free.
    auto const name = std::make_shared<std::string>("self");
    root.connect("a", [this, name] {
        root.disconnect("a", 1);
        order.push_back(*name);
    });
    root.connect("a", record("next"));
    signal.emit();
    signal.emit();
    EXPECT_THAT(order, ElementsAre("self", "next", "next"));
}

TEST_F(LambdaTreeChanges, AThrowingCallbackEndsTheRunAndReachesTheEmitter) {
    uint64_t const failing = root.connect("a/b", [] { throw std::runtime_error("callback"); });
    root.connect("", record("root"));
    EXPECT_THROW(signal.emit(), std::runtime_error);
    EXPECT_THAT(order, IsEmpty());

    root.disconnect("a/b", static_cast<int>(failing));
    signal.emit();
    EXPECT_THAT(order, ElementsAre("root"));
}

TEST(LambdaTreeMonitorsCopy, CopiedCallbacksKeepTheirIds) {
    Signal<> signal;
    int runs = 0;
    LambdaTree source(readNothing, signal);
    source.connect("", [&runs] { ++runs; });
    LambdaTree copy(source);
    signal.emit();
    EXPECT_EQ(runs, 2);
    EXPECT_TRUE(copy.disconnect("", 1));
    signal.emit();
    EXPECT_EQ(runs, 3);
}

// Names and values that come from boards or files need not be valid UTF-8:
// the text shows U+FFFD for the invalid bytes, in keys and values, and
// valid text keeps its bytes.
TEST(LambdaTreeText, InvalidUtf8IsWrittenAsReplacementCharacters) {
    LambdaTree root;
    root.insert({"b\xFF", LambdaTree([] {
                     return Answer{true, {{"name", "psu\xFF"}, {"caf\xC3\xA9", "80\xB0"}}};
                 })});
    root.update("");
    std::string const fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(root.dump(""), "{\"b" + fffd + "\":{\"caf\xC3\xA9\":\"80" + fffd +
                                 "\",\"name\":\"psu" + fffd + "\"}}");
}

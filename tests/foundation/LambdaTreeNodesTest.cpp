#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/LambdaTree.h"

using json = nlohmann::json;
using testing::ElementsAre;
using Kind = LambdaTree::Kind;

namespace {

std::pair<bool, json> readNothing() {
    return {true, nullptr};
}
std::pair<bool, json> writeNothing(json const&) {
    return {true, nullptr};
}

// Counts how often a node's change callbacks run.
struct Counter {
    int calls = 0;
    std::function<void()> callback() {
        return [this] { ++calls; };
    }
};

std::string targetError(LambdaTree const& tree, std::string const& path) {
    try {
        tree.target(path, "");
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "no error";
}

// root
//  +- boards (group)
//  |   +- b1 (group)
//  |       +- temperature (lambda, get)
//  |       +- mode (lambda, get and set)
//  +- info (lambda, get)
class LambdaTreePaths : public testing::Test {
protected:
    LambdaTreePaths() {
        LambdaTree b1;
        b1.insert({"temperature", LambdaTree(readNothing)});
        b1.insert({"mode", LambdaTree(readNothing, writeNothing)});
        LambdaTree boards;
        boards.insert({"b1", b1});
        root.insert({"boards", boards});
        root.insert({"info", LambdaTree(readNothing)});
    }

    LambdaTree root;
};

} // namespace

TEST(LambdaTreeConstruction, KindAndAbilitiesFollowTheConstructor) {
    Signal<> signal;
    struct Case {
        char const* name;
        LambdaTree node;
        Kind kind;
        uint8_t abilities;
    };
    Case const cases[] = {
        {"default", LambdaTree(), Kind::Group, LambdaTree::Get},
        {"getter", LambdaTree(readNothing), Kind::Lambda, LambdaTree::Get},
        {"getter+setter", LambdaTree(readNothing, writeNothing), Kind::Lambda,
         LambdaTree::Get | LambdaTree::Set},
        {"getter+empty setter", LambdaTree(readNothing, LambdaTree::Setter()), Kind::Lambda,
         LambdaTree::Get | LambdaTree::Set},
        {"getter+signal", LambdaTree(readNothing, signal), Kind::Lambda,
         LambdaTree::Get | LambdaTree::Notify},
        {"getter+setter+signal", LambdaTree(readNothing, writeNothing, signal), Kind::Lambda,
         LambdaTree::Get | LambdaTree::Set | LambdaTree::Notify},
        {"json scalar", LambdaTree(LambdaTree::Set, json(5)), Kind::JsonValue, LambdaTree::Set},
        {"json null", LambdaTree(uint8_t(0), json()), Kind::JsonValue, 0},
        {"json array", LambdaTree(LambdaTree::Get, json::array()), Kind::JsonContainer,
         LambdaTree::Get},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.node.getKind(), c.kind);
        EXPECT_EQ(c.node.getAbilities(), c.abilities);
        EXPECT_EQ(c.node.getParent(), nullptr);
        EXPECT_EQ(c.node.size(), 0u);
        EXPECT_FALSE(c.node.getAbortOnError());
    }
}

TEST(LambdaTreeConstruction, GroupFromMapCopiesChildrenAndOrsTheirAbilities) {
    Signal<> signal;
    LambdaTree::Children map{{"w", LambdaTree(readNothing, writeNothing)},
                             {"n", LambdaTree(readNothing, signal)}};
    LambdaTree group(map);
    EXPECT_EQ(group.getKind(), Kind::Group);
    EXPECT_EQ(group.getAbilities(), LambdaTree::Get | LambdaTree::Set | LambdaTree::Notify);
    ASSERT_EQ(group.size(), 2u);
    for (auto const& child : group) {
        EXPECT_EQ(child.second.getParent(), &group);
    }

    // The group's children are its own copies: each holds its own connection.
    Counter fromGroup;
    group.connect("", fromGroup.callback());
    map.clear();
    signal.emit();
    EXPECT_EQ(fromGroup.calls, 1);
}

TEST(LambdaTreeConstruction, JsonNodesMirrorObjectsAndArrays) {
    json const document = {{"a", 1}, {"b", {true, false}}};
    LambdaTree node(3, document);

    EXPECT_EQ(node.getKind(), Kind::JsonContainer);
    EXPECT_EQ(node.getInternal(), document);
    ASSERT_EQ(node.size(), 2u);
    LambdaTree const& a = node.at("a");
    LambdaTree const& b = node.at("b");
    EXPECT_EQ(a.getKind(), Kind::JsonValue);
    EXPECT_EQ(a.getInternal(), json(1));
    EXPECT_EQ(b.getKind(), Kind::JsonContainer);
    EXPECT_EQ(b.getInternal(), json({true, false}));
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b.at("0").getInternal(), json(true));
    EXPECT_EQ(b.at("1").getInternal(), json(false));

    EXPECT_EQ(a.getParent(), &node);
    EXPECT_EQ(b.getParent(), &node);
    EXPECT_EQ(b.at("0").getParent(), &b);
    LambdaTree const& node0 = node;
    for (LambdaTree const* n : {&node0, &a, &b, &b.at("0"), &b.at("1")}) {
        EXPECT_EQ(n->getAbilities(), 3);
    }
}

TEST(LambdaTreeConstruction, ArrayElementsAreOrderedByTheirNamesAsText) {
    LambdaTree node(LambdaTree::Get, json(std::vector<int>(11, 0)));
    std::vector<std::string> names;
    for (auto const& child : node) {
        names.push_back(child.first);
    }
    EXPECT_THAT(names, ElementsAre("0", "1", "10", "2", "3", "4", "5", "6", "7", "8", "9"));
}

TEST(LambdaTreeConstruction, AcceptJsonReplacesOnlyTheChildren) {
    LambdaTree node(LambdaTree::Get, json{{"a", 1}});
    node.acceptJson(json{{"x", 1}, {"y", 2}}, LambdaTree::Set);
    EXPECT_EQ(node.size(), 2u);
    EXPECT_EQ(node.at("x").getAbilities(), LambdaTree::Set);
    EXPECT_EQ(node.at("y").getParent(), &node);

    node.acceptJson(json(7), LambdaTree::Get);
    EXPECT_EQ(node.size(), 0u);
    EXPECT_EQ(node.getKind(), Kind::JsonContainer);
    EXPECT_EQ(node.getAbilities(), LambdaTree::Get);
    EXPECT_EQ(node.getInternal(), json({{"a", 1}}));
}

TEST(LambdaTreeConstruction, AbortOnErrorReachesChildrenThatDidNotChooseTheirOwn) {
    LambdaTree::Children inner{{"leaf", LambdaTree(readNothing)}};
    LambdaTree::Children outer{{"explicit", LambdaTree(inner, false)},
                               {"plain", LambdaTree(inner)}};
    LambdaTree root(outer);
    root.setAbortOnError(true);
    EXPECT_TRUE(root.getAbortOnError());
    EXPECT_TRUE(root.at("plain").getAbortOnError());
    EXPECT_TRUE(root.at("plain").at("leaf").getAbortOnError());
    EXPECT_FALSE(root.at("explicit").getAbortOnError());
    EXPECT_FALSE(root.at("explicit").at("leaf").getAbortOnError());

    // The constructor's flag is forced onto every child, explicit or not,
    // and stays on that child when an ancestor changes its mind.
    LambdaTree forced(outer, true);
    EXPECT_TRUE(forced.at("explicit").getAbortOnError());
    EXPECT_TRUE(forced.at("plain").at("leaf").getAbortOnError());
    LambdaTree top(LambdaTree::Children{{"forced", forced}});
    top.setAbortOnError(false);
    EXPECT_TRUE(top.at("forced").getAbortOnError());
}

TEST(LambdaTreeConstruction, BoundMembersCallTheirObject) {
    struct Owner {
        json stored = 1;
        std::pair<bool, json> read() { return {true, stored}; }
        std::pair<bool, json> write(json const& v) {
            stored = v;
            return {true, nullptr};
        }
    } owner;
    LambdaTree root;
    root.insert({"v", LambdaTree(LambdaTree::bindGetter(&Owner::read, &owner),
                                 LambdaTree::bindSetter(&Owner::write, &owner))});
    EXPECT_TRUE(root.set("v", 42).empty());
    EXPECT_EQ(owner.stored, json(42));
    EXPECT_EQ(root.get("v"), json(42));
}

TEST_F(LambdaTreePaths, EquivalentPathsDesignateTheSameNode) {
    struct Case {
        char const* path;
        LambdaTree const* node;
    };
    LambdaTree const* mode = &root.at("boards").at("b1").at("mode");
    Case const cases[] = {
        {"", &root},
        {"/", &root},
        {"//", &root},
        {"///", &root},
        {"boards/b1/mode", mode},
        {"/boards/b1/mode/", mode},
        {"boards//b1/mode", mode},
        {"boards/b1", &root.at("boards").at("b1")},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(&root.target(c.path, ""), c.node);
        EXPECT_TRUE(root.topicExists(c.path));
    }
    EXPECT_EQ(&root.at("boards").target("b1/mode", ""), mode);
}

TEST_F(LambdaTreePaths, UnresolvedPathsNameWhereTheyFailed) {
    struct Case {
        char const* path;
        char const* error;
    };
    Case const cases[] = {
        {"zzz", "LambdaTree::Target failed from  to zzz"},
        {"/zzz//", "LambdaTree::Target failed from  to /zzz//"},
        {"boards/x/y", "LambdaTree::Target failed from boards to x/y"},
        {"boards//x//y/", "LambdaTree::Target failed from boards to x/y"},
        {"boards/b1/mode/deeper", "LambdaTree::Target failed from boards/b1/mode to deeper"},
        {"Boards", "LambdaTree::Target failed from  to Boards"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(targetError(root, c.path), c.error);
        EXPECT_FALSE(root.topicExists(c.path));
        EXPECT_THROW(root.get(c.path), std::runtime_error);
        EXPECT_THROW(root.topicDump(c.path, LambdaTree::Get), std::runtime_error);
        EXPECT_THROW(root.connect(c.path, [] {}), std::runtime_error);
        EXPECT_THROW(root.disconnect(c.path, 1), std::runtime_error);
    }
}

TEST_F(LambdaTreePaths, AtAndSubscriptReachChildren) {
    EXPECT_EQ(&root.at(""), &root);
    EXPECT_EQ(&root[""], &root);
    EXPECT_EQ(&root.at("info"), &root["info"]);
    EXPECT_EQ(root.find("info"), std::next(root.begin()));
    EXPECT_EQ(root.find("nothing"), root.end());
    try {
        root.at("nothing");
        ADD_FAILURE() << "at of a missing child returned";
    } catch (std::out_of_range const& e) {
        EXPECT_STREQ(e.what(), "map::at");
    }

    uint8_t const abilities = root.getAbilities();
    std::string const name = "fresh";
    LambdaTree& fresh = root[name];
    LambdaTree& movedName = root[std::string("other")];
    EXPECT_EQ(root.size(), 4u);
    EXPECT_EQ(root.getAbilities(), abilities);
    for (LambdaTree* added : {&fresh, &movedName}) {
        EXPECT_EQ(added->getKind(), Kind::Group);
        EXPECT_EQ(added->getAbilities(), LambdaTree::Get);
        EXPECT_EQ(added->getParent(), &root);
    }
}

TEST_F(LambdaTreePaths, InsertKeepsAnExistingChildButGainsItsAbilities) {
    LambdaTree& b1 = root.at("boards").at("b1");
    LambdaTree& info = root.at("info");
    EXPECT_EQ(info.getAbilities(), LambdaTree::Get);
    auto added = b1.insert({"fan", LambdaTree(readNothing)});
    EXPECT_TRUE(added.second);
    EXPECT_EQ(added.first->second.getParent(), &b1);

    auto again = root.insert({"info", LambdaTree(readNothing, writeNothing)});
    EXPECT_FALSE(again.second);
    EXPECT_EQ(&again.first->second, &info);
    EXPECT_EQ(info.getAbilities(), LambdaTree::Get);
    EXPECT_TRUE(root.getAbilities() & LambdaTree::Set);

    LambdaTree& hinted = root.insert(root.begin(), {"aaa", LambdaTree(readNothing)})->second;
    EXPECT_EQ(hinted.getParent(), &root);
    EXPECT_EQ(&root.insert(root.end(), {"boards", LambdaTree()})->second, &root.at("boards"));
    EXPECT_EQ(b1.getParent(), &root.at("boards"));
}

TEST_F(LambdaTreePaths, EraseRemovesChildren) {
    EXPECT_EQ(root.erase("nothing"), 0u);
    EXPECT_EQ(root.erase("info"), 1u);
    EXPECT_FALSE(root.topicExists("info"));
    root["x"];
    root["y"];
    auto next = root.erase(root.find("boards"));
    EXPECT_EQ(next->first, "x");
    EXPECT_EQ(root.erase(root.begin(), root.end()), root.end());
    EXPECT_EQ(root.size(), 0u);
}

TEST_F(LambdaTreePaths, TopicDumpListsMatchingNodesInPostOrder) {
    EXPECT_THAT(
        root.topicDump("", LambdaTree::Get),
        ElementsAre("boards/b1/mode", "boards/b1/temperature", "boards/b1", "boards", "info", ""));
    EXPECT_THAT(root.topicDump("", LambdaTree::Set),
                ElementsAre("boards/b1/mode", "boards/b1", "boards", ""));
    EXPECT_THAT(root.topicDump("/boards/", LambdaTree::Set), ElementsAre("b1/mode", "b1", ""));
    EXPECT_THAT(root.topicDump("boards/b1/mode", LambdaTree::Set), ElementsAre(""));
    EXPECT_TRUE(root.topicDump("", LambdaTree::Notify).empty());
    EXPECT_THAT(root.topicDump("", LambdaTree::Ability(LambdaTree::Set | LambdaTree::Notify)),
                ElementsAre("boards/b1/mode", "boards/b1", "boards", ""));
}

TEST(LambdaTreeTopics, AbilitiesOnlyReachTheNodesThatReceivedThem) {
    // operator[] adds a child without touching the root's abilities, so
    // only "a" learns that something below it can be written.
    LambdaTree root;
    root["a"].insert({"x", LambdaTree(readNothing, writeNothing)});
    root["b"] = LambdaTree(readNothing);
    EXPECT_THAT(root.topicDump("", LambdaTree::Set), ElementsAre("a/x", "a"));
    EXPECT_THAT(root.topicDump("", LambdaTree::Get), ElementsAre("a/x", "a", "b", ""));
}

TEST(LambdaTreeTopics, KeysWithSlashesAreListedButUnreachable) {
    LambdaTree node(LambdaTree::Get, json{{"a/b", 1}});
    EXPECT_THAT(node.topicDump("", LambdaTree::Get), ElementsAre("a/b", ""));
    EXPECT_FALSE(node.topicExists("a/b"));
}

TEST(LambdaTreeCopy, CopiesAreDeepAndIndependent) {
    LambdaTree source;
    source["g"].insert({"leaf", LambdaTree(readNothing)});
    source.connect("", [] {});
    source.connect("", [] {});

    LambdaTree copy(source);
    EXPECT_EQ(copy.getParent(), nullptr);
    EXPECT_EQ(copy.at("g").getParent(), &copy);
    EXPECT_EQ(copy.at("g").at("leaf").getParent(), &copy.at("g"));
    EXPECT_EQ(copy.getAbilities(), source.getAbilities());

    // Monitor ids continue from the source's counter, so none is reused.
    EXPECT_EQ(copy.connect("", [] {}), 3u);
    EXPECT_TRUE(copy.disconnect("", 1));
    EXPECT_TRUE(source.disconnect("", 1));

    copy["g"]["added"];
    copy.erase("g");
    EXPECT_TRUE(source.topicExists("g/leaf"));
    EXPECT_FALSE(source.topicExists("g/added"));

    LambdaTree nested;
    nested["child"] = source.at("g");
    EXPECT_EQ(nested.at("child").at("leaf").getParent(), &nested.at("child"));
    EXPECT_EQ(source.at("g").getParent(), &source);
}

TEST(LambdaTreeSignals, CopiesHoldTheirOwnConnection) {
    Signal<> signal;
    Counter source, copy;
    LambdaTree node(readNothing, signal);
    node.connect("", source.callback());
    {
        LambdaTree duplicate(node);
        duplicate.disconnect("", 1);
        duplicate.connect("", copy.callback());
        signal.emit();
        EXPECT_EQ(source.calls, 1);
        EXPECT_EQ(copy.calls, 1);
    }
    signal.emit();
    EXPECT_EQ(source.calls, 2);
    EXPECT_EQ(copy.calls, 1);
}

TEST(LambdaTreeSignals, MoveLeavesTheSourceEmptyAndUnbound) {
    Signal<> signal;
    Counter counter;
    LambdaTree node(readNothing, signal);
    node.connect("", counter.callback());

    auto source = std::make_unique<LambdaTree>(std::move(node));
    LambdaTree moved(std::move(*source));
    EXPECT_EQ(source->getKind(), Kind::Group);
    EXPECT_EQ(source->getAbilities(), LambdaTree::Get);
    EXPECT_EQ(source->getInternal(), json());
    EXPECT_EQ(moved.getKind(), Kind::Lambda);
    // A connection left on the source would run the source's callbacks.
    Counter onSource;
    EXPECT_EQ(source->connect("", onSource.callback()), 1u);
    signal.emit();
    EXPECT_EQ(counter.calls, 1);
    EXPECT_EQ(onSource.calls, 0);

    source.reset();
    signal.emit();
    EXPECT_EQ(counter.calls, 2);
}

TEST(LambdaTreeSignals, AssignmentRebindsToTheReceivingNode) {
    Signal<> first, second;
    Counter atRoot;
    LambdaTree root;
    root.connect("", atRoot.callback());
    root["slot"] = LambdaTree(readNothing, first);
    EXPECT_EQ(root.getAbilities(), LambdaTree::Get | LambdaTree::Notify);
    EXPECT_EQ(root.at("slot").getParent(), &root);
    first.emit();
    EXPECT_EQ(atRoot.calls, 1);

    root["slot"] = LambdaTree(readNothing, second);
    first.emit();
    EXPECT_EQ(atRoot.calls, 1);
    second.emit();
    EXPECT_EQ(atRoot.calls, 2);

    // Only the direct parent gains the new abilities.
    root["a"]["b"] = LambdaTree(readNothing, writeNothing);
    EXPECT_TRUE(root.at("a").getAbilities() & LambdaTree::Set);
    EXPECT_FALSE(root.getAbilities() & LambdaTree::Set);
}

TEST(LambdaTreeSignals, AssignedContentKeepsItsChildrenAndMonitorCounter) {
    LambdaTree content;
    content["c"];
    content.connect("", [] {});
    content.connect("", [] {});
    LambdaTree root;
    root["n"] = content;
    LambdaTree& n = root.at("n");
    EXPECT_EQ(n.at("c").getParent(), &n);
    EXPECT_EQ(n.connect("", [] {}), 3u);
}

// Parents are copied, moved and destroyed while their children stay bound to
// live signals: every emission must reach a live node with correct parents.
TEST(LambdaTreeSignals, ParentsCanBeCopiedMovedAndDestroyedUnderLiveSignals) {
    Signal<> signal;
    Counter inOriginal, inCopy, inMoved;
    auto original = std::make_unique<LambdaTree>();
    (*original)["board"].insert({"slot", LambdaTree(readNothing, signal)});
    original->connect("", inOriginal.callback());

    LambdaTree copy(*original);
    copy.disconnect("", 1);
    copy.connect("", inCopy.callback());
    // Many siblings added later must not move the bound child.
    for (int i = 0; i < 100; ++i) {
        copy["board"]["s" + std::to_string(i)];
    }
    signal.emit();
    EXPECT_EQ(inOriginal.calls, 1);
    EXPECT_EQ(inCopy.calls, 1);

    LambdaTree moved(std::move(copy));
    moved.connect("", inMoved.callback());
    signal.emit();
    EXPECT_EQ(inOriginal.calls, 2);
    EXPECT_EQ(inCopy.calls, 2); // the moved content kept its monitors
    EXPECT_EQ(inMoved.calls, 1);
    EXPECT_EQ(moved.at("board").getParent(), &moved);

    original.reset();
    copy = LambdaTree();
    moved.erase("board");
    signal.emit();
    EXPECT_EQ(inOriginal.calls, 2);
    EXPECT_EQ(inCopy.calls, 2);
    EXPECT_EQ(inMoved.calls, 1);
}

// The owner connects and disconnects callbacks of a node and of its parent
// while another thread emits the node's signal (as the engine's monitoring
// thread does while MQTT requests enable monitors): a callback connected all
// along runs once per emission.
TEST(LambdaTreeSignals, CallbacksChangeWhileAnotherThreadEmits) {
    Signal<> signal;
    LambdaTree root;
    root.insert({"slot", LambdaTree(readNothing, signal)});
    std::atomic<int> steady{0};
    root.connect("slot", [&steady] { ++steady; });

    constexpr int Emissions = 2000;
    std::thread emitter([&signal] {
        for (int i = 0; i < Emissions; ++i) {
            signal.emit();
        }
    });
    for (int i = 0; i < Emissions; ++i) {
        std::string const path = i % 2 ? "slot" : "";
        uint64_t const id = root.connect(path, [] {});
        EXPECT_TRUE(root.disconnect(path, static_cast<int>(id)));
    }
    emitter.join();
    EXPECT_EQ(steady, Emissions);
}

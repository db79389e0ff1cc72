#include "foundation/SettingStore.h"
#include "support/ScratchDir.h"
#include "support/VariantPrinters.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using nlohmann::json;
using testing::ElementsAre;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Type = Variant::Type;
namespace fs = std::filesystem;

namespace {

char const Ident[] = "settingstoretest";

// The log lines an action writes, without the identity and time stamp.
std::vector<std::string> logged(std::function<void()> const& action) {
    Log::open(Ident, true, false);
    Log::setLevel(Log::Level::Debug);
    CaptureStderr();
    action();
    std::istringstream out(GetCapturedStderr());
    std::vector<std::string> lines;
    std::regex const prefix(std::string("^") + Ident + R"(: \[ *\d+\.\d{3}\] )");
    for (std::string line; std::getline(out, line);) {
        lines.push_back(std::regex_replace(line, prefix, ""));
    }
    return lines;
}

std::string readFile(std::string const& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeFile(std::string const& path, std::string const& text) {
    std::ofstream(path, std::ios::binary) << text;
}

SettingStore storeOf(VariantMap::Entries const& entries) {
    SettingStore store;
    store.load(entries);
    return store;
}

SettingStore merged(std::vector<char const*> const& documents) {
    SettingStore store;
    for (char const* document : documents) {
        store.fromJson(json::parse(document));
    }
    return store;
}

// Runs an action in a child process (so that limits and identities set by
// prepare stay there) and returns its result and its log.
struct ChildRun {
    bool exited = false;
    bool result = false;
    std::string log;
};

ChildRun inChild(std::function<void()> const& prepare, std::function<bool()> const& action) {
    ChildRun run;
    // The log goes through a pipe: a file could be cut by a file size limit.
    int errors[2];
    if (pipe(errors) != 0) {
        return run;
    }
    pid_t child = fork();
    if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        Log::open(Ident, true, false);
        prepare();
        _exit(action() ? 0 : 1);
    }
    close(errors[1]);
    int status = 0;
    bool waited = child > 0 && waitpid(child, &status, 0) == child;
    std::string text(65536, '\0');
    ssize_t count = read(errors[0], &text[0], text.size());
    close(errors[0]);
    run.exited = waited && WIFEXITED(status);
    run.result = run.exited && WEXITSTATUS(status) == 0;
    run.log = text.substr(0, count > 0 ? count : 0);
    return run;
}

class SettingStoreFiles : public testing::Test {
protected:
    std::string path(std::string const& name) const { return scratch.path(name); }

    testsupport::ScratchDir const scratch;
    std::string const dir = scratch.path();
};

} // namespace

TEST(SettingStore, SectionMergesIntoDefaults) {
    SettingStore store;
    store.set("address", Variant("10.10.10.4"));
    store.set("port", Variant(10000));
    store.set("timeoutMs", Variant(100));
    store.fromJson(json::parse(R"({"port": 10001})"));
    EXPECT_EQ(store.get("port"), Variant(10001u));
    EXPECT_EQ(store.get("address"), Variant("10.10.10.4"));
    EXPECT_EQ(store.get("timeoutMs"), Variant(100));
    EXPECT_EQ(store.toJson().dump(), R"({"address":"10.10.10.4","port":10001,"timeoutMs":100})");
}

TEST(SettingStore, NumbersAndScalarsTakeTheTagOfTheirJsonKind) {
    SettingStore const store =
        merged({R"({"n": -1, "u": 1, "d": 1.5, "b": true, "s": "x", "z": null})"});
    EXPECT_EQ(store.toMap(), VariantMap({{"b", Variant(true)},
                                         {"d", Variant(1.5)},
                                         {"n", Variant(-1L)},
                                         {"s", Variant("x")},
                                         {"u", Variant(1ul)},
                                         {"z", Variant()}}));
}

TEST(SettingStore, NestedMembersBecomeFlatKeysAndComeBack) {
    SettingStore store;
    store.set("log/received", Variant(true));
    store.set("log/sent", Variant(true));
    store.fromJson(json::parse(R"({"log": {"payload": true, "received": false}})"));
    EXPECT_EQ(store.keys(), (std::vector<std::string>{"log/payload", "log/received", "log/sent"}));
    EXPECT_EQ(store.get("log/received"), Variant(false));
    EXPECT_EQ(store.get("log"),
              Variant(R"({"payload":true,"received":false,"sent":true})", Type::Map));
    EXPECT_EQ(store.toJson(), json::parse(R"({"log": {"payload": true, "received": false,
                                                       "sent": true}})"));
}

TEST(SettingStore, GetGathersWhatLiesBelowAKey) {
    SettingStore const store =
        storeOf({{"a/b/c", Variant(1)}, {"a/b/d", Variant(2)}, {"e", Variant("x")}});
    EXPECT_EQ(store.get("a/b").toString(), R"({"c":1,"d":2})");
    EXPECT_EQ(store.get("a").toString(), R"({"b":{"c":1,"d":2}})");
    EXPECT_EQ(store.get("a").type(), Type::Map);
    EXPECT_EQ(store.get("e"), Variant("x"));
    EXPECT_TRUE(store.get("missing").isNull());
}

// A parent key answers its subtree whatever names lie below it.
TEST(SettingStore, GetOfAParentAnswersTheSubtreeForAnyNames) {
    struct Case {
        char const* document;
        char const* key;
        char const* subtree; // nullptr: Null
    };
    std::vector<Case> const cases = {
        {R"({"a": {"0": 1, "x": 2}})", "a", R"({"0":1,"x":2})"},
        {R"({"a": {"99999999999": 1}})", "a", R"({"99999999999":1})"},
        {R"({"a": {"-1": 1}})", "a", R"({"-1":1})"},
        {R"({"a": {"1": 5, "0": 4}})", "a", "[4,5]"},
        {R"({"a": [{"b": 1}, {"b": 2}]})", "a/1", R"({"b":2})"},
        {R"({"a": {"b": {"0": 1, "x": 2}}})", "a/b", R"({"0":1,"x":2})"},
        {R"({"a": {"_size": {"x": 1}}})", "a/_size", nullptr},
        {R"({"a": {"b": 1}})", "a/c", nullptr},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string(c.document) + " " + c.key);
        Variant value;
        ASSERT_NO_THROW(value = merged({c.document}).get(c.key));
        if (c.subtree == nullptr) {
            EXPECT_TRUE(value.isNull());
        } else {
            EXPECT_EQ(value, Variant(c.subtree, Type::Map));
        }
    }
}

// Whether a level rebuilds as an array depends on its own names only.
TEST(SettingStore, ALevelsShapeDoesNotDependOnOtherSettings) {
    SettingStore store = merged({R"({"b": {"0": 1, "100": 2}})"});
    ASSERT_TRUE(store.toJson()["b"].is_array());
    store.fromJson(json::parse(R"({"a": {"0": 1, "1000": 2}})"));
    json const document = store.toJson();
    EXPECT_TRUE(document["b"].is_array()) << document["b"].dump();
    EXPECT_EQ(document["b"].size(), 101u);
    EXPECT_EQ(document["a"], json::parse(R"({"0": 1, "1000": 2})")); // too sparse for an array
    EXPECT_EQ(store.get("b"), Variant(document["b"].dump(), Type::Map));
}

// Deep documents are refused before they are walked; the limit is generous
// for settings and keeps the walk's cost and stack bounded.
TEST(SettingStore, DocumentsNestedTooDeepAreRefusedUnchanged) {
    auto nested = [](std::size_t depth) {
        json document = 1;
        for (std::size_t level = 0; level < depth; ++level) {
            json wrapper = level % 2 ? json::object() : json::array();
            if (wrapper.is_array()) {
                wrapper.push_back(std::move(document));
            } else {
                wrapper["k"] = std::move(document);
            }
            document = std::move(wrapper);
        }
        return document;
    };
    SettingStore store = storeOf({{"kept", Variant(1)}});
    for (std::size_t depth : {VariantMap::maxDepth + 1, std::size_t(20000)}) {
        SCOPED_TRACE(depth);
        try {
            store.fromJson(nested(depth));
            ADD_FAILURE() << "accepted";
        } catch (std::invalid_argument const& e) {
            EXPECT_STREQ(e.what(), "settings document nested deeper than 64 levels");
        }
        EXPECT_EQ(store.toMap(), VariantMap({{"kept", Variant(1)}}));
    }
    json expected = nested(VariantMap::maxDepth); // an object: the last level is odd
    store.fromJson(expected);
    expected["kept"] = 1;
    EXPECT_EQ(store.keys().size(), 2u);
    EXPECT_EQ(store.toJson(), expected);
}

// A member's name nests as deep as its separators: a flat document with a
// name of too many levels would rebuild into a document the store refuses
// to read back (a saved file lost at the next load).
TEST(SettingStore, SeparatorsInNamesCountAsLevels) {
    auto path = [](std::size_t levels) {
        std::string key = "k";
        for (std::size_t level = 1; level < levels; ++level) {
            key += "/k";
        }
        return key;
    };
    SettingStore store = storeOf({{"kept", Variant(1)}});
    for (json const& document :
         {json{{path(VariantMap::maxDepth + 1), 1}}, json{{"a", {{path(VariantMap::maxDepth), 1}}}},
          json{{"a", json::array({{{path(VariantMap::maxDepth - 1), 1}}})}}}) {
        SCOPED_TRACE(document.dump());
        EXPECT_THROW(store.fromJson(document), std::invalid_argument);
        EXPECT_EQ(store.toMap(), VariantMap({{"kept", Variant(1)}}));
    }
    store.fromJson(json{{"a", {{path(VariantMap::maxDepth - 1), 1}}}});
    SettingStore copy;
    copy.fromJson(store.toJson());
    EXPECT_EQ(copy.toMap(), store.toMap());
}

TEST(SettingStore, ArraysKeepNoSizeEntryAndRebuildInOrder) {
    SettingStore const store =
        merged({R"({"list": [10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21]})"});
    EXPECT_EQ(store.keys().size(), 12u);
    EXPECT_FALSE(store.exists("list/_size"));
    EXPECT_EQ(store.get("list/11"), Variant(21ul));
    EXPECT_EQ(store.toJson()["list"],
              json::parse("[10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21]"));
}

TEST(SettingStore, FromMapCopiesEntriesAsTheyAre) {
    VariantMap map;
    map.fromJson(json::parse(R"({"x": [1, 2]})"));
    SettingStore store = storeOf({{"kept", Variant(1)}, {"x/0", Variant(9)}});
    store.fromMap(map);
    EXPECT_EQ(store.keys(), (std::vector<std::string>{"kept", "x/0", "x/1", "x/_size"}));
    EXPECT_EQ(store.get("x/0"), Variant(1ul));
    EXPECT_EQ(store.toJson(), json::parse(R"({"kept": 1, "x": [1, 2]})"));
}

TEST(SettingStore, MergeAndLoadAndIndexing) {
    SettingStore store = storeOf({{"k", Variant(9)}});
    store.merge(VariantMap({{"k", Variant(1)}, {"n", Variant(2)}}));
    EXPECT_EQ(store.toMap(), VariantMap({{"k", Variant(9)}, {"n", Variant(2)}}));

    EXPECT_TRUE(store["new"].isNull());
    store["new"] = "value";
    EXPECT_EQ(store.get("new"), Variant("value"));

    SettingStore copy = store;
    store.load({{"only", Variant(1)}});
    EXPECT_EQ(store.keys(), (std::vector<std::string>{"only"}));
    EXPECT_EQ(copy.keys(), (std::vector<std::string>{"k", "n", "new"}));
}

TEST(SettingStore, ToJsonAlwaysBuildsAnObject) {
    struct Case {
        VariantMap::Entries entries;
        char const* json;
    };
    std::vector<Case> const cases = {
        {{}, "null"},
        {{{"0", Variant(7)}}, R"({"0": 7})"},
        {{{"_size", Variant(1)}}, R"({"_size": 1})"},
        {{{"list/0", Variant(1)}, {"list/1", Variant(2)}, {"mode", Variant("on")}},
         R"({"list": [1, 2], "mode": "on"})"},
        {{{"", Variant(1)}, {"/", Variant(2)}}, "null"},
        {{{"pw", Variant("{pw")}}, R"({"pw": "{pw"})"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(storeOf(c.entries).toJson(), json::parse(c.json));
    }
}

TEST(SettingStore, AValueWrittenOverAnotherShapeReplacesItWhole) {
    struct Case {
        char const* what;
        std::vector<char const*> documents;
        char const* result;
    };
    std::vector<Case> const cases = {
        {"scalar over object",
         {R"({"a": {"b": 1, "c": 2}, "k": 1})", R"({"a": 5})"},
         R"({"a": 5, "k": 1})"},
        {"object over scalar", {R"({"a": 5})", R"({"a": {"b": 1}})"}, R"({"a": {"b": 1}})"},
        {"empty object over scalar", {R"({"a": 5, "k": 1})", R"({"a": {}})"}, R"({"k": 1})"},
        {"shorter array over longer", {R"({"a": [1, 2, 3]})", R"({"a": [9]})"}, R"({"a": [9]})"},
        {"empty array over array", {R"({"a": [1], "k": 1})", R"({"a": []})"}, R"({"k": 1})"},
        {"array over object", {R"({"a": {"x": 1}})", R"({"a": [1]})"}, R"({"a": [1]})"},
        {"null over object", {R"({"a": {"b": 1}})", R"({"a": null})"}, R"({"a": null})"},
        {"scalar over deeper scalar",
         {R"({"a": {"b": {"c": 1}}})", R"({"a": {"b": 2}})"},
         R"({"a": {"b": 2}})"},
        {"objects merge member by member",
         {R"({"a": {"x": 1, "y": {"z": 2}}})", R"({"a": {"y": {"w": 3}}})"},
         R"({"a": {"x": 1, "y": {"w": 3, "z": 2}}})"},
        {"object over array keeps the elements as members",
         {R"({"a": [1, 2]})", R"({"a": {"x": 1}})"},
         R"({"a": {"0": 1, "1": 2, "x": 1}})"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(merged(c.documents).toJson(), json::parse(c.result));
    }
}

TEST(SettingStore, MemberNameWithSlashReplacesTheLeafAboveIt) {
    SettingStore store = storeOf({{"a", Variant(5)}, {"k", Variant(1)}});
    store.fromJson(json::parse(R"({"a/b": 1})"));
    EXPECT_EQ(store.keys(), (std::vector<std::string>{"a/b", "k"}));
    EXPECT_EQ(store.get("a"), Variant(R"({"b":1})", Type::Map));
}

TEST(SettingStore, OddMemberNamesRebuildWithoutThrowing) {
    struct Case {
        char const* document;
        char const* result;
    };
    std::vector<Case> const cases = {
        {R"({"a": {"0": 1, "x": 2}})", R"({"a": {"0": 1, "x": 2}})"},
        {R"({"a": {"-1": 5}})", R"({"a": {"-1": 5}})"},
        {R"({"a": {"99999999999": 1}})", R"({"a": {"99999999999": 1}})"},
        {R"({"a": {"010": 1, "10": 2}})", R"({"a": {"010": 1, "10": 2}})"},
        {R"({"a": {"1": "x", "0": "y"}})", R"({"a": ["y", "x"]})"},
        {R"({"a": {"08": 8, "0": 0}})",
         R"({"a": [0, null, null, null, null, null, null, null, 8]})"},
        {R"({"a": {"_size": 3, "b": 1}})", R"({"a": {"b": 1}})"},
        {R"({"a/b": 1, "a": {"c": 2}})", R"({"a": {"b": 1, "c": 2}})"},
        {R"({"a": {"": 1, "b": 2}})", R"({"a": {"b": 2}})"},
        {R"({"0": [1], "_size": 2})", R"({"0": [1], "_size": 2})"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.document);
        EXPECT_EQ(merged({c.document}).toJson(), json::parse(c.result));
    }
}

// Any sequence of merged documents leaves a store that rebuilds into JSON.
TEST(SettingStore, RandomMergeSequencesAlwaysRebuild) {
    std::mt19937 random(20240611);
    std::vector<std::string> const names = {"a",  "b",     "0", "1",   "2", "010",
                                            "-1", "_size", "",  "a/b", "x"};
    std::function<json(int)> make = [&](int depth) -> json {
        switch (random() % (depth > 0 ? 7 : 4)) {
        case 0:
            return nullptr;
        case 1:
            return static_cast<int>(random() % 5) - 2;
        case 2:
            return random() % 2 == 0;
        case 3:
            return random() % 2 == 0 ? "{pw" : "{\"k\":1}";
        case 4:
        case 5: {
            json object = json::object();
            for (unsigned i = random() % 4; i > 0; --i) {
                object[names[random() % names.size()]] = make(depth - 1);
            }
            return object;
        }
        default: {
            json array = json::array();
            for (unsigned i = random() % 4; i > 0; --i) {
                array.push_back(make(depth - 1));
            }
            return array;
        }
        }
    };
    for (int round = 0; round < 300; ++round) {
        SettingStore store;
        std::string history;
        for (int step = 0; step < 4; ++step) {
            json document = json::object();
            document[names[random() % names.size()]] = make(3);
            history += document.dump() + "\n";
            store.fromJson(document);
            ASSERT_NO_THROW(store.toJson()) << history;
        }
    }
}

TEST(SettingStore, PrintLogsATableWithThePrefix) {
    SettingStore const store = storeOf({{"a", Variant(1)}, {"odd%s", Variant("%d")}});
    std::string const separator = "[Settings] +------------+------------+";
    EXPECT_THAT(logged([&] { store.print(); }),
                ElementsAre(separator, "[Settings] | SETTING    | VALUE      |", separator,
                            "[Settings] | a          : 1          |",
                            "[Settings] | odd%s      : %d         |", separator));
}

TEST(SettingStore, LogTakesATextOrAFormat) {
    EXPECT_THAT(logged([] {
                    SettingStore::log(Log::Level::Info, std::string("100% %s"));
                    SettingStore::log(Log::Level::Error, "value %d of %s", 7, "x");
                }),
                ElementsAre("[Settings] 100% %s", "[Settings] value 7 of x"));
}

TEST_F(SettingStoreFiles, SaveJsonWritesTheIndentedDocumentWithoutFinalNewline) {
    SettingStore const store = storeOf(
        {{"b/y", Variant(true)}, {"b/x", Variant("é")}, {"a", Variant(-1)}, {"l/0", Variant(1.5)}});
    writeFile(path("s.json"), std::string(500, 'x'));
    ASSERT_TRUE(store.saveJSON(path("s.json")));
    EXPECT_EQ(readFile(path("s.json")), "{\n"
                                        "    \"a\": -1,\n"
                                        "    \"b\": {\n"
                                        "        \"x\": \"é\",\n"
                                        "        \"y\": true\n"
                                        "    },\n"
                                        "    \"l\": [\n"
                                        "        1.5\n"
                                        "    ]\n"
                                        "}");
    EXPECT_EQ(scratch.listing(), "s.json");
}

TEST_F(SettingStoreFiles, JsonFileRoundTrip) {
    SettingStore const saved = storeOf({{"int", Variant(5)},
                                        {"negative", Variant(-5)},
                                        {"uint", Variant(5u)},
                                        {"big", Variant(18446744073709551615ul)},
                                        {"double", Variant(0.25)},
                                        {"bool", Variant(false)},
                                        {"text", Variant("hello")},
                                        {"password", Variant("{pw")},
                                        {"object", Variant(R"({"x":1})")},
                                        {"nothing", Variant()}});
    ASSERT_TRUE(saved.saveJSON(path("s.json")));
    SettingStore loaded;
    ASSERT_TRUE(loaded.loadJSON(path("s.json")));
    EXPECT_EQ(loaded.toMap(), VariantMap({{"big", Variant(18446744073709551615ul)},
                                          {"bool", Variant(false)},
                                          {"double", Variant(0.25)},
                                          {"int", Variant(5u)},
                                          {"negative", Variant(-5L)},
                                          {"nothing", Variant()},
                                          {"object/x", Variant(1u)},
                                          {"password", Variant("{pw")},
                                          {"text", Variant("hello")},
                                          {"uint", Variant(5u)}}));
}

TEST_F(SettingStoreFiles, LoadJsonMergesAndIgnoresWhatFollowsTheValue) {
    writeFile(path("s.json"), "  {\"a\": {\"b\": 2}} trailing text");
    SettingStore store = storeOf({{"a/c", Variant(1)}});
    ASSERT_TRUE(store.loadJSON(path("s.json")));
    EXPECT_EQ(store.toJson(), json::parse(R"({"a": {"b": 2, "c": 1}})"));
}

TEST_F(SettingStoreFiles, LoadJsonFailures) {
    SettingStore store = storeOf({{"k", Variant(1)}});
    std::string const missing = path("missing.json");
    bool result = true;
    EXPECT_THAT(logged([&] { result = store.loadJSON(missing); }),
                ElementsAre("[Settings] loadJSON(): could not open file '" + missing + "'."));
    EXPECT_FALSE(result);

    writeFile(path("bad.json"), "{\"a\": ");
    EXPECT_THROW(store.loadJSON(path("bad.json")), json::parse_error);
    EXPECT_EQ(store.toMap(), VariantMap({{"k", Variant(1)}}));

    std::string const deep = path("deep.json");
    writeFile(deep, std::string(100, '[') + std::string(100, ']'));
    EXPECT_THAT(logged([&] { result = store.loadJSON(deep); }),
                ElementsAre("[Settings] loadJSON(): could not load file '" + deep +
                            "': settings document nested deeper than 64 levels."));
    EXPECT_FALSE(result);
    EXPECT_EQ(store.toMap(), VariantMap({{"k", Variant(1)}}));
}

TEST_F(SettingStoreFiles, SaveJsonThatCannotRebuildLeavesTheFileUntouched) {
    writeFile(path("s.json"), "old");
    SettingStore const store = storeOf({{"m", Variant("{bad", Type::Map)}});
    EXPECT_THROW(store.saveJSON(path("s.json")), json::parse_error);
    EXPECT_EQ(readFile(path("s.json")), "old");
    EXPECT_EQ(scratch.listing(), "s.json");
}

TEST_F(SettingStoreFiles, FailedWriteLeavesThePreviousFileWhole) {
    std::string const target = path("s.json");
    ASSERT_TRUE(storeOf({{"old", Variant("settings")}}).saveJSON(target));
    std::string const before = readFile(target);
    SettingStore const store = storeOf({{"new", Variant(std::string(100, 'n'))}});

    // The file size limit makes the write fail (limit 0) or stop short
    // (limit 10), in a child process so the limit stays there.
    struct Case {
        rlim_t limit;
        std::string message;
    };
    for (Case const& c : std::vector<Case>{
             {0, "[Settings] saveJSON(): could not write in file '" + target + "': File too large"},
             {10, "[Settings] saveJSON(): partial write in file '" + target + "': 10/117"}}) {
        SCOPED_TRACE(c.limit);
        ChildRun const run = inChild(
            [&] {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit{c.limit, RLIM_INFINITY};
                setrlimit(RLIMIT_FSIZE, &limit);
            },
            [&] { return store.saveJSON(target); });
        ASSERT_TRUE(run.exited);
        EXPECT_FALSE(run.result);
        EXPECT_THAT(run.log, testing::HasSubstr(c.message));
        EXPECT_EQ(readFile(target), before);
        EXPECT_EQ(scratch.listing(), "s.json");
    }
}

TEST_F(SettingStoreFiles, SaveJsonIntoAMissingDirectoryFails) {
    std::string const target = path("none/s.json");
    bool result = true;
    EXPECT_THAT(logged([&] {
                    result = storeOf({{"k", Variant(1)}}).saveJSON(target);
                }),
                ElementsAre("[Settings] saveJSON(): could not open file '" + target +
                            "': No such file or directory."));
    EXPECT_FALSE(result);
}

TEST_F(SettingStoreFiles, SaveJsonIntoAnUnwritableDirectoryKeepsTheOldFile) {
    std::string const target = path("s.json");
    writeFile(target, "old");
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    // Root writes into any directory: the child gives that up first.
    ChildRun const run = inChild(
        [] {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(2);
            }
        },
        [&] {
            return storeOf({{"k", Variant(1)}}).saveJSON(target);
        });
    fs::permissions(dir, fs::perms::owner_all);
    ASSERT_TRUE(run.exited);
    EXPECT_FALSE(run.result);
    EXPECT_THAT(run.log, testing::HasSubstr("[Settings] saveJSON(): could not open file '" +
                                            target + "': Permission denied."));
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(scratch.listing(), "s.json");
}

TEST_F(SettingStoreFiles, SaveJsonKeepsTheFileModeAndSymbolicLinks) {
    std::string const real = path("real.json");
    writeFile(real, "old");
    chmod(real.c_str(), 0600);
    fs::create_symlink(real, path("link.json"));
    ASSERT_TRUE(storeOf({{"k", Variant(1)}}).saveJSON(path("link.json")));
    EXPECT_TRUE(fs::is_symlink(path("link.json")));
    EXPECT_EQ(readFile(real), "{\n    \"k\": 1\n}");
    struct stat status;
    ASSERT_EQ(stat(real.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(SettingStoreFiles, SqliteRoundTripKeepsKeysTextsAndTags) {
    SettingStore const saved = storeOf({{"a/b", Variant(5)},
                                        {"big", Variant(18446744073709551615ul)},
                                        {"double", Variant(0.25)},
                                        {"map", Variant("[1,2]", Type::Map)},
                                        {"nothing", Variant()},
                                        {"odd", Variant("1", static_cast<Type>(9))},
                                        {"text", Variant("{pw")}});
    ASSERT_TRUE(saved.saveSQLite(path("s.db")));

    SQLite::Database database(path("s.db"));
    SQLite::Statement rows(database, "SELECT key, value, type FROM settings ORDER BY key");
    std::vector<std::string> table;
    while (rows.executeStep()) {
        table.push_back(rows.getColumn(0).getString() + "|" + rows.getColumn(1).getString() + "|" +
                        std::to_string(rows.getColumn(2).getInt()));
    }
    EXPECT_EQ(table,
              (std::vector<std::string>{"a/b|5|2", "big|-1|3", "double|0.25|4", "map|[1,2]|6",
                                        "nothing||0", "odd|1|9", "text|{pw|1"}));

    SettingStore loaded = storeOf({{"kept", Variant(1)}, {"a/b", Variant("replaced")}});
    ASSERT_TRUE(loaded.loadSQLite(path("s.db")));
    VariantMap expected = saved.toMap();
    expected["kept"] = Variant(1);
    EXPECT_EQ(loaded.toMap(), expected);
    EXPECT_TRUE(loaded.toJson()["odd"].is_null());
}

TEST_F(SettingStoreFiles, SaveSqliteReplacesTheTable) {
    ASSERT_TRUE(storeOf({{"a", Variant(1)}, {"b", Variant(2)}}).saveSQLite(path("s.db")));
    ASSERT_TRUE(storeOf({{"c", Variant(3)}}).saveSQLite(path("s.db")));
    SettingStore loaded;
    ASSERT_TRUE(loaded.loadSQLite(path("s.db")));
    EXPECT_EQ(loaded.keys(), (std::vector<std::string>{"c"}));
}

TEST_F(SettingStoreFiles, SaveSqliteThatFailsKeepsThePreviousRows) {
    ASSERT_TRUE(storeOf({{"a", Variant(1)}}).saveSQLite(path("s.db")));
    // Another connection holds the database: the save waits its 2 s busy
    // time-out and gives up.
    SQLite::Database holder(path("s.db"), SQLite::OPEN_READWRITE);
    holder.exec("BEGIN EXCLUSIVE");
    bool result = true;
    EXPECT_THAT(logged([&] {
                    result = storeOf({{"b", Variant(2)}}).saveSQLite(path("s.db"));
                }),
                ElementsAre("[Settings] saveSQLite(): database is locked"));
    EXPECT_FALSE(result);
    holder.exec("ROLLBACK");
    SettingStore loaded;
    ASSERT_TRUE(loaded.loadSQLite(path("s.db")));
    EXPECT_EQ(loaded.keys(), (std::vector<std::string>{"a"}));
}

TEST_F(SettingStoreFiles, LoadSqliteFailures) {
    {
        SQLite::Database other(path("other.db"), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        other.exec("CREATE TABLE things (x TEXT)");
    }
    SettingStore store = storeOf({{"k", Variant(1)}});
    bool result = true;
    EXPECT_THAT(logged([&] { result = store.loadSQLite(path("other.db")); }),
                ElementsAre("[Settings] loadSQLite(): no such table: settings"));
    EXPECT_FALSE(result);
    EXPECT_THAT(logged([&] { result = store.loadSQLite(path("missing.db")); }),
                ElementsAre("[Settings] loadSQLite(): unable to open database file"));
    EXPECT_FALSE(result);
    EXPECT_FALSE(fs::exists(path("missing.db")));
    EXPECT_EQ(store.keys(), (std::vector<std::string>{"k"}));
}

TEST_F(SettingStoreFiles, LoadSqliteReadsNullValuesAsEmptyText) {
    {
        SQLite::Database db(path("s.db"), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec("CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT, type INTEGER)");
        db.exec("INSERT INTO settings VALUES ('k', NULL, 1)");
    }
    SettingStore store;
    ASSERT_TRUE(store.loadSQLite(path("s.db")));
    EXPECT_EQ(store.get("k"), Variant(""));
}

TEST_F(SettingStoreFiles, SaveAndLoadChooseTheFormatByExtension) {
    struct Case {
        std::string name;
        char const* format; // the first bytes of the file, or null for none
    };
    std::vector<Case> const cases = {
        {"s.json", "{"},
        {"s.db", "SQLite format 3"},
        {"s.sqlite3", "SQLite format 3"},
        {"s.txt", nullptr},
        {"s.DB", nullptr},
        {"s.JSON", nullptr},
        {"conf.d/settings", nullptr},
    };
    fs::create_directory(path("conf.d"));
    SettingStore const store = storeOf({{"k", Variant("v")}});
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        bool saved = false;
        EXPECT_THAT(logged([&] { saved = store.save(path(c.name), SettingStore::Auto); }),
                    testing::IsEmpty());
        EXPECT_EQ(saved, c.format != nullptr);
        if (c.format == nullptr) {
            EXPECT_FALSE(fs::exists(path(c.name)));
            SettingStore loaded;
            EXPECT_FALSE(loaded.load(path(c.name), SettingStore::Auto));
            continue;
        }
        EXPECT_EQ(readFile(path(c.name)).rfind(c.format, 0), 0u);
        SettingStore loaded;
        EXPECT_TRUE(loaded.load(path(c.name), SettingStore::Auto));
        EXPECT_EQ(loaded.get("k"), Variant("v"));
    }
    // An explicit type wins over the extension.
    ASSERT_TRUE(store.save(path("s.txt"), SettingStore::JSON));
    EXPECT_EQ(readFile(path("s.txt")), "{\n    \"k\": \"v\"\n}");
    EXPECT_FALSE(store.save(path("s.json"), static_cast<SettingStore::FileType>(5)));
}

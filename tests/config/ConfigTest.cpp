#include "config/Config.h"

#include "support/ConfigFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using nlohmann::json;
using velt::ZRV480::BoardManager::Config::Config;
using velt::ZRV480::BoardManager::Config::Configurable;

namespace {

// Owns one section: takes it from a document, answers it back; can refuse
// every document, and can hold its next answer until released.
class Section : public Configurable {
public:
    Section(std::string sectionName, json initial)
        : name(std::move(sectionName)), value(std::move(initial)) {}

    void onConfigSet(json const& document) override {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(document);
        if (!refusal.empty()) {
            throw std::runtime_error(refusal);
        }
        if (document.is_object() && document.contains(name)) {
            value = document.at(name);
        }
    }

    json onConfigGet() const override {
        std::unique_lock<std::mutex> lock(mutex);
        json const answer = {{name, value}};
        if (holdNext) { // only this answer waits
            holdNext = false;
            holding = true;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
        }
        return answer;
    }

    void hold() {
        std::lock_guard<std::mutex> lock(mutex);
        holdNext = true;
    }
    void waitHolding() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return holding; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    std::vector<json> documents() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

    std::string refusal;

private:
    std::string const name;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    json value;                    // guarded by mutex
    std::vector<json> seen;        // guarded by mutex
    mutable bool holdNext = false; // guarded by mutex
    mutable bool holding = false;  // guarded by mutex
    bool released = false;         // guarded by mutex
};

// Answers a fixed value, whatever it is.
class Answer : public Configurable {
public:
    void onConfigSet(json const&) override {}
    json onConfigGet() const override { return answer; }

    json answer;
};

class ConfigFileTest : public configtest::ConfigFiles {
protected:
    void SetUp() override {
        ConfigFiles::SetUp();
        file = path("zrv480-boardman.json");
        config = std::make_shared<Config>(file);
        device = std::make_shared<Section>(
            "device",
            json{{"address", "127.0.0.1"}, {"empty", json::object()}, {"place", "Zürich"}});
        mqtt = std::make_shared<Section>("mqtt", json{{"url", "127.0.0.1:1883"}});
        config->declareConfigurable(device);
        config->declareConfigurable(mqtt);
    }

    json written() { return json::parse(readText(file)); }
    // The name of the file's kept copy after `earlier` others.
    std::string keptCopy(int earlier) const {
        return file + ".bad" + (earlier == 0 ? "" : "." + std::to_string(earlier));
    }

    std::string file;
    std::shared_ptr<Config> config;
    std::shared_ptr<Section> device;
    std::shared_ptr<Section> mqtt;
};

TEST_F(ConfigFileTest, StartWithoutFileWritesTheDefaultsAsPrivateIndentedText) {
    config->update();

    EXPECT_EQ(readText(file), "{\n"
                              "    \"device\": {\n"
                              "        \"address\": \"127.0.0.1\",\n"
                              "        \"empty\": {},\n"
                              "        \"place\": \"Zürich\"\n"
                              "    },\n"
                              "    \"mqtt\": {\n"
                              "        \"url\": \"127.0.0.1:1883\"\n"
                              "    }\n"
                              "}");
    EXPECT_EQ(modeOf(file), 0600);
    EXPECT_EQ(dir.listing(), "zrv480-boardman.json"); // no temporary left behind
    EXPECT_TRUE(device->documents().empty());
    std::string const log = logged();
    EXPECT_NE(log.find("[Config] Could not read config file: '" + file + "'."), std::string::npos);
    EXPECT_NE(log.find("[Config] Could not apply '" + file +
                       "' : Could not read config file, (Continuing with default "
                       "configuration values)"),
              std::string::npos);
    EXPECT_NE(log.find("[Config] Saving updated config file"), std::string::npos);
}

TEST_F(ConfigFileTest, UpdateHandsTheWholeFileToEveryOwnerAndRewritesWhatTheyHold) {
    config->declareConfigurable(device); // declared twice, still one owner
    json const document = {{"device", {{"address", "127.0.0.2"}}},
                           {"mqtt", {{"url", "127.0.0.1:2000"}}},
                           {"unknown", 1}};
    writeText(file, document.dump() + "\n# text after the document is not read");
    chmod(file.c_str(), 0644);

    config->update();

    ASSERT_EQ(device->documents().size(), 1u);
    EXPECT_EQ(device->documents()[0], document);
    ASSERT_EQ(mqtt->documents().size(), 1u);
    EXPECT_EQ(mqtt->documents()[0], document);
    json const expected = {{"device", {{"address", "127.0.0.2"}}},
                           {"mqtt", {{"url", "127.0.0.1:2000"}}}};
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(config->fileRead(), expected);          // the rewritten text reads back the same
    EXPECT_EQ(modeOf(file), 0600);                    // it may hold the broker password
    EXPECT_EQ(dir.listing(), "zrv480-boardman.json"); // nothing refused, no copy kept
    EXPECT_EQ(logged().find("Could not apply"), std::string::npos);
}

TEST_F(ConfigFileTest, LinkedFileIsReplacedWhereTheLinkPoints) {
    mkdir(path("etc").c_str(), 0755);
    writeText(path("etc/boardman.json"), json{{"mqtt", {{"url", "127.0.0.1:2000"}}}}.dump());
    ASSERT_EQ(symlink("etc/boardman.json", file.c_str()), 0);

    config->update();

    struct stat link;
    ASSERT_EQ(lstat(file.c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(json::parse(readText(path("etc/boardman.json")))["mqtt"]["url"], "127.0.0.1:2000");
    EXPECT_EQ(modeOf(path("etc/boardman.json")), 0600);
}

TEST_F(ConfigFileTest, UnparsableFileIsKeptAsBadBeforeTheDefaultsAreWritten) {
    std::string const contents[] = {"{\"device\": {\"address\": ", "", "device = 127.0.0.2",
                                    "{\"device\": {\"address\": 1e400}}"};
    int kept = 0;
    for (auto const& text : contents) {
        SCOPED_TRACE(text);
        writeText(file, text);

        config->update();

        EXPECT_EQ(readText(keptCopy(kept++)), text);
        EXPECT_EQ(written()["device"]["address"], "127.0.0.1");
        EXPECT_TRUE(device->documents().empty());
    }
    std::string const log = logged();
    EXPECT_NE(log.find("kept as '" + file + ".bad'"), std::string::npos);
    EXPECT_NE(log.find("[Config] Could not apply '" + file + "' : [json.exception.parse_error"),
              std::string::npos);
}

TEST_F(ConfigFileTest, FileHoldingNoObjectIsKeptAsBadBeforeTheDefaultsAreWritten) {
    struct Case {
        std::string text;
        std::string kind;
    };
    Case const cases[] = {{"[1,2,3]", "array"}, {"\"text\"", "string"}, {"null", "null"}};
    int kept = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        writeText(file, c.text);

        config->update();

        EXPECT_EQ(readText(keptCopy(kept++)), c.text);
        EXPECT_EQ(written()["device"]["address"], "127.0.0.1");
        EXPECT_TRUE(device->documents().empty());
    }
    std::string const log = logged();
    for (auto const& c : cases) {
        EXPECT_NE(
            log.find("[Config] Config file '" + file + "' holds " + c.kind + ", not a JSON object"),
            std::string::npos)
            << c.kind;
    }
    EXPECT_NE(log.find("holds no JSON object; kept as '" + file + ".bad'"), std::string::npos);
    EXPECT_NE(
        log.find("[Config] Could not apply '" + file + "' : Config file holds no JSON object"),
        std::string::npos);
}

TEST_F(ConfigFileTest, FileTheServiceMayNotReadIsKeptAsBadBeforeTheDefaultsAreWritten) {
    writeText(file, "{\"device\": {\"address\": \"127.0.0.2\"}}");
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0); // the service's user may rename in it
    // Root reads every file: the service runs as another user in a child.
    pid_t const child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        config->update();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(readText(file + ".bad"), "{\"device\": {\"address\": \"127.0.0.2\"}}");
    EXPECT_EQ(written()["device"]["address"], "127.0.0.1");
    std::string const log = logged(); // the child wrote to the same output
    EXPECT_NE(log.find("[Config] Reading '" + file + "' failed: Permission denied"),
              std::string::npos);
    EXPECT_NE(log.find("could not be read; kept as '" + file + ".bad'"), std::string::npos);
}

TEST_F(ConfigFileTest, KeptCopiesAreNeverOverwrittenAndEachIsNamedInItsLogLine) {
    struct Case {
        std::string text;
        std::string line; // before "kept as"
    };
    std::string const refused =
        R"({"mqtt": {"password": 73914682, "url": "127.0.0.1:2000"}, "device": {"statusPeriod": 0}})";
    Case const cases[] = {
        {"[1,2,3]", "[Config] Config file '" + file + "' holds no JSON object; "},
        {"{\"device\": 7,", "[Config] Config file '" + file + "' could not be parsed; "},
        {refused, "[Config] Config file '" + file +
                      "' held settings that were refused or replaced; kept as it was in '"},
        {"null", "[Config] Config file '" + file + "' holds no JSON object; "},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        writeText(file, c.text);
        config->update();
    }

    std::string const log = logged();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(readText(keptCopy(i)), cases[i].text) << keptCopy(i);
        std::string const named = cases[i].line.back() == '\'' ? "" : "kept as '";
        EXPECT_NE(log.find(cases[i].line + named + keptCopy(i) + "'"), std::string::npos)
            << cases[i].line;
    }
    EXPECT_EQ(modeOf(keptCopy(2)), 0600); // the copy may hold the broker password
    EXPECT_EQ(modeOf(keptCopy(4)), -1);
    EXPECT_EQ(log.find("73914682"), std::string::npos);
}

TEST_F(ConfigFileTest, FileFromWhichASettingWasRefusedIsKeptBesideTheRewrittenOne) {
    std::string const text = "{\"mqtt\": {\"password\": 73914682, \"url\": \"127.0.0.1:2000\"}}\n";
    writeText(file, text);

    config->update();

    EXPECT_EQ(written()["mqtt"], json({{"password", ""}, {"url", "127.0.0.1:2000"}}));
    EXPECT_EQ(readText(file + ".bad"), text);
    EXPECT_EQ(modeOf(file + ".bad"), 0600); // it may hold the broker password
    std::string const log = logged();
    EXPECT_NE(log.find("[Config] Config file: setting \"mqtt/password\" must be a text of 0 to "
                       "65535 bytes, got a number; using the default \"\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[Config] Config file '" + file +
                       "' held settings that were refused or replaced; kept as it was in '" + file +
                       ".bad'"),
              std::string::npos);
    EXPECT_EQ(log.find("73914682"), std::string::npos);
}

TEST_F(ConfigFileTest, FileThatCannotBeKeptIsNeverRewritten) {
    // Every name a kept copy may take is in use.
    for (int i = 0; i < 1000; ++i) {
        writeText(keptCopy(i), "earlier");
    }
    for (std::string const text :
         {"device = 127.0.0.2", "[1,2,3]", R"({"device": {"statusPeriod": 0}})"}) {
        SCOPED_TRACE(text);
        Config fresh(file);
        fresh.declareConfigurable(device);
        writeText(file, text);

        fresh.update();
        fresh.reWrite(); // as after the engine's start
        fresh.set(json{{"device", {{"address", "127.0.0.9"}}}});

        EXPECT_EQ(readText(file), text);
        EXPECT_EQ(fresh.get()["device"]["address"], "127.0.0.9"); // applied all the same
    }
    EXPECT_EQ(readText(keptCopy(0)), "earlier");
    EXPECT_EQ(readText(keptCopy(999)), "earlier");
    std::string const log = logged();
    EXPECT_NE(log.find("[Config] Could not keep config file '" + file + "' as '" + keptCopy(999) +
                       "': File exists; it is left as it is and not rewritten"),
              std::string::npos);
    EXPECT_NE(
        log.find("[Config] Not rewriting config file '" + file + "': it is left as it was found"),
        std::string::npos);
}

TEST_F(ConfigFileTest, RefusedSectionDoesNotStopTheOtherOwners) {
    json const document = {{"device", {{"address", "not an address"}}},
                           {"mqtt", {{"url", "127.0.0.1:2000"}}}};
    // Owners are called in the order of their identity: refuse with each of
    // them so that the refusal comes before the other owner once.
    for (auto const& [refusing, accepting] :
         {std::make_pair(device, mqtt), std::make_pair(mqtt, device)}) {
        refusing->refusal = "invalid socket";
        accepting->refusal.clear();
        json const before = config->get();
        json expected = document;
        std::string const refused = refusing == device ? "device" : "mqtt";
        expected[refused] = before[refused];

        try {
            config->set(document);
            ADD_FAILURE() << "the refusal was not reported";
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "invalid socket");
        }

        EXPECT_EQ(config->get(), expected);
        EXPECT_EQ(written(), expected); // the refused value is not written back
    }
}

TEST_F(ConfigFileTest, RefusalInTheFileIsLoggedAndTheOthersStillApply) {
    device->refusal = "invalid socket";
    writeText(file,
              json{{"device", {{"address", "x"}}}, {"mqtt", {{"url", "127.0.0.1:2000"}}}}.dump());

    config->update();

    EXPECT_EQ(written(),
              json({{"device",
                     {{"address", "127.0.0.1"}, {"empty", json::object()}, {"place", "Zürich"}}},
                    {"mqtt", {{"url", "127.0.0.1:2000"}}}}));
    std::string const log = logged();
    EXPECT_NE(log.find("[Config] Could not apply '" + file +
                       "' : invalid socket, (Continuing with default configuration values)"),
              std::string::npos);
    // What the operator wrote for the refused section stays.
    EXPECT_EQ(json::parse(readText(file + ".bad"))["device"]["address"], "x");
    EXPECT_NE(log.find("kept as it was in '" + file + ".bad'"), std::string::npos);
}

TEST_F(ConfigFileTest, ARefusalThatLosesNothingKeepsNoCopyAtAnyStart) {
    // The owner refuses, yet holds every value the file gave it.
    device->refusal = "socket cannot open";
    writeText(file, json{{"device", {{"address", "127.0.0.1"}}}}.dump());

    for (int start = 0; start < 3; ++start) {
        config->update();
    }

    EXPECT_FALSE(std::filesystem::exists(keptCopy(0)));
    EXPECT_EQ(written()["device"]["address"], "127.0.0.1");
    EXPECT_EQ(logged().find("kept as it was"), std::string::npos);
}

TEST_F(ConfigFileTest, GetMergesOwnersFirstInIdentityOrderWinsEmptyAnswersSkipped) {
    struct Case {
        json first, second, merged;
    };
    Case const cases[] = {
        {{{"a", 1}}, {{"a", 2}, {"b", 3}}, {{"a", 1}, {"b", 3}}},
        {nullptr, {{"b", 1}}, {{"b", 1}}},
        {{{"a", 1}}, nullptr, {{"a", 1}}},
        {{{"a", 1}}, json::object(), {{"a", 1}}},
        {{{"a", 1}}, json::array(), {{"a", 1}}},
        {json::object(), {{"b", 1}}, {{"b", 1}}},
        {json::array(), json::array(), json::array()},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.first.dump() + " then " + c.second.dump());
        auto first = std::make_shared<Answer>();
        auto second = std::make_shared<Answer>();
        if (std::less<std::shared_ptr<Configurable>>()(second, first)) {
            std::swap(first, second);
        }
        first->answer = c.first;
        second->answer = c.second;
        Config merging(path("unused.json"));
        EXPECT_EQ(merging.get(), nullptr);
        merging.declareConfigurable(second); // the order of declaration does not matter
        merging.declareConfigurable(first);
        EXPECT_EQ(merging.get(), c.merged);
    }
}

TEST_F(ConfigFileTest, FailedWriteLeavesThePreviousFileWhole) {
    writeText(file, "previous");
    // A file size limit below the document's size makes the write itself fail.
    struct rlimit const saved = [] {
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        return limit;
    }();
    auto const previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool const result = config->fileWrite(json{{"text", std::string(100, 'x')}});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(result);
    EXPECT_EQ(readText(file), "previous");
    EXPECT_EQ(dir.listing(), "zrv480-boardman.json");

    Config elsewhere(path("missing/dir.json"));
    EXPECT_FALSE(elsewhere.fileWrite(json::object()));
    // The first failure's log lines went to the captured output, which the
    // size limit stopped as well.
    EXPECT_NE(
        logged().find("[Config] Could not write config file: '" + path("missing/dir.json") + "'."),
        std::string::npos);
}

TEST_F(ConfigFileTest, RewriteThatGatheredEarlierNeverOverwritesANewerSet) {
    config->update();
    device->hold();
    std::thread rewrite([this] { config->reWrite(); }); // gathers the old address, held
    device->waitHolding();
    std::atomic<bool> setDone{false};
    std::thread writer([&] {
        config->set(json{{"device", {{"address", "127.0.0.9"}}}});
        setDone = true;
    });
    // Give the set time to apply and reach the file before the held rewrite.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device->release();
    rewrite.join();
    writer.join();

    EXPECT_TRUE(setDone);
    EXPECT_EQ(written()["device"]["address"], "127.0.0.9");
}

} // namespace

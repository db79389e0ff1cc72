#include "support/AdaptorFixture.h"
#include "support/BoardRequests.h"
#include "support/CallReplies.h"

#include "BoardSim.h"
#include "bus/Protocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace devicetest {
namespace {

namespace File = velt::ZRV480::Bus::Protocol::File;
using testsupport::mainFile;

constexpr size_t SegmentSize = 128;

json const Busy = failed(ErrorCode::FileLimit, "FileLimit");

// A file content of `segments` whole segments that differ from each other.
std::string content(size_t segments) {
    std::string text(segments * SegmentSize, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    return text;
}

class FilesTest : public AdaptorFixture {
protected:
    void SetUp() override {
        AdaptorFixture::SetUp();
        connect();
        bringUp(Main);
        machine.sim.clearRequests();
    }

    // The payload naming a local file of the scratch directory and a remote name.
    std::string transfer(std::string const& local, std::string const& remote) const {
        return json{{"local", machine.dir.path(local)}, {"remote", remote}}.dump();
    }

    // Waits for the finished notice of request `id` and checks that it comes
    // once; returns the "percent" of every progress notice published before it.
    std::vector<int> finishedAfterSteps(std::string const& call, std::string const& id) {
        std::string const finished = below(call + "/finished/" + id);
        mqtttest::Received notice;
        EXPECT_TRUE(recorder->take(finished, notice)) << finished;
        EXPECT_EQ(notice.payload, "{\"completed\":true}");
        EXPECT_FALSE(notice.retained);
        EXPECT_EQ(notice.qos, 0);
        std::vector<int> steps;
        for (auto const& message : recorder->pending()) {
            if (message.topic == below(call + "/progress")) {
                steps.push_back(json::parse(message.payload).at("percent").get<int>());
            }
        }
        recorder->clear();
        EXPECT_TRUE(recorder->quiet(finished, 300)) << "a second finished notice";
        return steps;
    }
};

std::vector<int> stepsUpTo(int last) {
    std::vector<int> steps;
    for (int step = 0; step <= last; step += 5) {
        steps.push_back(step);
    }
    return steps;
}

TEST_F(FilesTest, RefusedRequestsAnswerAtOnceAndSendNothing) {
    std::vector<CallCase> const cases{
        {"main/action/fileTransmit", "local=a", NotJson},
        {"main/action/fileTransmit", R"(["/tmp/a", "b"])", Malformed},
        {"main/action/fileTransmit", R"({"local": "/tmp/a"})", Malformed},
        {"main/action/fileTransmit", R"({"local": 5, "remote": "b"})", Malformed},
        {"main/action/fileReceive", "", NotJson},
        {"main/action/fileReceive", R"({"remote": "b"})", Malformed},
        {"main/action/fileReceive", R"({"local": "/tmp/a", "remote": null})", Malformed},
        {"main/action/fileDelete", "{", NotJson},
        {"main/action/fileDelete", R"("b")", Malformed},
        {"main/action/fileDelete", R"({"local": "b"})", Malformed},
        {"main/action/fileChecksum", "}", NotJson},
        {"main/action/fileChecksum", R"({"remote": ["b"]})", Malformed},
        {"main/action/disarm", "1234", Malformed},
        {"main/action/disarm", R"({"password": 1234})", Malformed},
        {"main/action/preauth", "{\"passwordHash\"", NotJson},
        {"main/action/preauth", R"({"passwordHash": "ab"})", Malformed},
        {"main/action/preauth", R"({"salt": "s", "passwordHash": false})", Malformed},
        // The bus layer refuses a hash that is not 64 characters long.
        {"main/action/preauth", R"({"passwordHash": "ab", "salt": "s"})", Malformed},
        // The engine's refusals: no such local file, no writable place for one.
        {"main/action/fileTransmit", R"({"local": "/nonexistent/a", "remote": "b"})",
         failed(ErrorCode::FileNotFound, "FileNotFound")},
        {"main/action/fileReceive", R"({"local": "/nonexistent/a", "remote": "b"})",
         failed(ErrorCode::FileInternalError, "FileInternalError")},
    };
    int id = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.payload);
        EXPECT_EQ(call(c.name, c.payload, std::to_string(++id)), c.reply);
    }
    EXPECT_TRUE(machine.sim.requests().empty());
    // Refused transfers leave nothing pending: the next ones are accepted.
    machine.dir.write("small", "x");
    EXPECT_EQ(call("main/action/fileTransmit", transfer("small", "small"), "t"), Completed);
    finishedAfterSteps("main/action/fileTransmit", "t");
    EXPECT_EQ(call("main/action/fileReceive", transfer("back", "small"), "r"), Completed);
    finishedAfterSteps("main/action/fileReceive", "r");
}

TEST_F(FilesTest, SentAndFetchedFilesPublishStepsAndOneFinishedNotice) {
    std::string const sent = content(20);
    machine.dir.write("out.bin", sent);
    EXPECT_EQ(call("main/action/fileTransmit", transfer("out.bin", "data.bin"), "send-1"),
              Completed);
    // Twenty segments report 5, 10, ..., 100 percent; the steps lag one behind.
    EXPECT_EQ(finishedAfterSteps("main/action/fileTransmit", "send-1"), stepsUpTo(95));
    auto const stored = machine.sim.file("data.bin");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(std::string(stored->begin(), stored->end()), sent);

    std::string const kept = content(10);
    machine.sim.putFile("ten.bin", boardsim::Bytes(kept.begin(), kept.end()));
    EXPECT_EQ(call("main/action/fileReceive", transfer("in.bin", "ten.bin"), "fetch-1"), Completed);
    EXPECT_EQ(finishedAfterSteps("main/action/fileReceive", "fetch-1"), stepsUpTo(45));
    EXPECT_EQ(machine.dir.read("in.bin"), kept);

    // Every request starts its steps again from 0.
    EXPECT_EQ(call("main/action/fileTransmit", transfer("out.bin", "again.bin"), "send-2"),
              Completed);
    EXPECT_EQ(finishedAfterSteps("main/action/fileTransmit", "send-2"), stepsUpTo(95));
}

TEST_F(FilesTest, FailedTransferStillEndsWithItsNotice) {
    machine.sim.addRule({mainFile(File::Open), boardsim::Action::errorReply(0x86)});
    EXPECT_EQ(call("main/action/fileReceive", transfer("in.bin", "missing.bin"), "f"), Completed);
    EXPECT_EQ(finishedAfterSteps("main/action/fileReceive", "f"), std::vector<int>{});
}

TEST_F(FilesTest, SecondTransferOfADirectionIsRefusedWhileTheFirstRuns) {
    std::string const sent = content(4);
    machine.dir.write("out.bin", sent);
    // The second data segment's reply waits until released, after the first
    // one's progress notice.
    boardsim::Filter const secondSegment = mainFile(File::Write, 2);
    machine.sim.addRule({secondSegment, boardsim::Action::held(), 0, 1});

    EXPECT_EQ(call("main/action/fileTransmit", transfer("out.bin", "first.bin"), "first"),
              Completed);
    ASSERT_TRUE(machine.sim.waitFor(secondSegment, 1, 5000));
    EXPECT_EQ(call("main/action/fileTransmit", transfer("out.bin", "second.bin"), "second"), Busy);
    EXPECT_EQ(machine.sim.requestCount(mainFile(File::Open)), 1u);

    machine.sim.release();
    // The refused request left the steps going.
    EXPECT_EQ(finishedAfterSteps("main/action/fileTransmit", "first"),
              (std::vector<int>{0, 5, 10, 15}));
    EXPECT_TRUE(recorder->quiet(below("main/action/fileTransmit/finished/second"), 300));
    EXPECT_TRUE(machine.sim.file("first.bin").has_value());
    EXPECT_FALSE(machine.sim.file("second.bin").has_value());
}

TEST_F(FilesTest, ChecksumAndDelete) {
    machine.sim.putFile("abc.txt", {'a', 'b', 'c'});
    EXPECT_EQ(
        call("main/action/fileChecksum", R"({"remote": "abc.txt", "local": 1})", "1"),
        (json{{"completed", true},
              {"data", {{"checksum", "900150983cd24fb0d6963f7d28e17f72"}, {"filesize", 3}}}}));

    EXPECT_EQ(call("main/action/fileDelete", R"({"remote": "abc.txt"})", "2"), Completed);
    EXPECT_FALSE(machine.sim.file("abc.txt").has_value());

    machine.sim.addRule({mainFile(), boardsim::Action::errorReply(0x86)});
    EXPECT_EQ(call("main/action/fileDelete", R"({"remote": "abc.txt"})", "3"),
              failed(ErrorCode::BusInvalidValue, "BusInvalidValue"));
    EXPECT_EQ(call("main/action/fileChecksum", R"({"remote": "abc.txt"})", "4"),
              failed(ErrorCode::BusInvalidValue, "BusInvalidValue"));
}

TEST_F(FilesTest, SecurityCalls) {
    EXPECT_EQ(call("main/action/disarm", R"({"password": "1234"})", "1"),
              (json{{"completed", true}, {"data", {{"disarmed", true}}}}));
    EXPECT_TRUE(machine.sim.disarmed());

    std::string const hash(64, 'f');
    EXPECT_EQ(call("main/action/preauth", json{{"passwordHash", hash}, {"salt", ""}}.dump(), "2"),
              Completed);
    EXPECT_TRUE(machine.sim.preauth().has_value());
    // The payload of a cancellation is not read.
    EXPECT_EQ(call("main/action/preauth/cancel", "not json", "3"), Completed);
    EXPECT_FALSE(machine.sim.preauth().has_value());
}

} // namespace
} // namespace devicetest

#include "foundation/TaskThread.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

// An exception that escaped a task would end the whole process: it is
// logged with its text, and the tasks after it still run.
TEST(TaskThread, ATaskThatThrowsIsLoggedAndTheNextOnesRun) {
    testsupport::LogCapture capture;
    std::promise<void> ran;
    {
        TaskThread thread;
        thread.post(std::chrono::milliseconds(0), [] { throw std::runtime_error("bad text"); });
        thread.post(std::chrono::milliseconds(0), [] { throw 7; });
        thread.post(std::chrono::milliseconds(0), [&ran] { ran.set_value(); });
        ASSERT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    }
    std::string const text = capture.text();
    EXPECT_NE(text.find("A task failed: bad text"), std::string::npos) << text;
    EXPECT_NE(text.find("A task failed: unknown exception"), std::string::npos) << text;
}

#include "foundation/Signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Receiver {
    std::vector<std::string> seen;
    void onText(std::string text) {
        text += "!"; // a by-value argument is the receiver's own copy
        seen.push_back(text);
    }
    void onProgress(uint8_t address, float percent) {
        seen.push_back(std::to_string(address) + ":" + std::to_string(static_cast<int>(percent)));
    }
};

// Connects from another thread and reports whether it finished in time. A
// signal whose lock was left held would block that thread for good, so the
// signal is then left alive (leaked) for the stuck thread instead of failing
// the whole run.
bool connectsFromAnotherThread(std::unique_ptr<Signal<>>& signal) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    Signal<>* raw = signal.get();
    std::thread([raw, done] {
        raw->connect([] {});
        done->set_value();
    }).detach();
    if (finished.wait_for(2s) == std::future_status::ready) {
        return true;
    }
    signal.release();
    return false;
}

} // namespace

TEST(Signal, IdsCountFromOneAcrossBothConnectKindsAndAreNeverReused) {
    Signal<std::string> signal;
    Receiver receiver;
    EXPECT_EQ(signal.connect([](std::string) {}), 1);
    EXPECT_EQ(signal.connect_member(&receiver, &Receiver::onText), 2);
    signal.disconnect(1);
    EXPECT_EQ(signal.connect([](std::string) {}), 3);
}

TEST(Signal, SlotsRunInIdOrderOnEveryEmission) {
    Signal<int> signal;
    std::vector<std::string> calls;
    signal.connect([&](int v) { calls.push_back("A" + std::to_string(v)); });
    signal.connect([&](int v) { calls.push_back("B" + std::to_string(v)); });
    int removed = signal.connect([&](int v) { calls.push_back("C" + std::to_string(v)); });
    signal.connect([&](int v) { calls.push_back("D" + std::to_string(v)); });
    signal.disconnect(removed);
    signal.emit(1);
    signal.emit(2);
    EXPECT_EQ(calls, (std::vector<std::string>{"A1", "B1", "D1", "A2", "B2", "D2"}));
}

TEST(Signal, DisconnectingAnUnknownIdChangesNothing) {
    Signal<> signal;
    int calls = 0;
    signal.connect([&] { ++calls; });
    signal.connect([&] { ++calls; });
    signal.disconnect(7);
    signal.emit();
    EXPECT_EQ(calls, 2);
}

TEST(Signal, MemberSlotsGetTheEmittedArguments) {
    Receiver receiver;
    Signal<std::string const&> byReference;
    byReference.connect([&](std::string const& t) { receiver.seen.push_back(t); });
    Signal<std::string> byValue;
    byValue.connect_member(&receiver, &Receiver::onText);
    Signal<uint8_t, float> progress;
    progress.connect_member(&receiver, &Receiver::onProgress);

    byReference.emit("ref");
    byValue.emit("val");
    progress.emit(3, 42.5f);
    EXPECT_EQ(receiver.seen, (std::vector<std::string>{"ref", "val!", "3:42"}));
}

TEST(Signal, EverySlotSeesTheSameArgumentsAndFreshSlotState) {
    Signal<std::string> signal;
    std::vector<std::string> seen;
    signal.connect([&](std::string text) {
        text += "-changed";
        seen.push_back(text);
    });
    signal.connect([&](std::string text) { seen.push_back(text); });
    // The callable is copied for each call: its own changes do not carry over.
    signal.connect(
        [&, count = 0](std::string) mutable { seen.push_back(std::to_string(++count)); });
    signal.emit("x");
    signal.emit("y");
    EXPECT_EQ(seen, (std::vector<std::string>{"x-changed", "x", "1", "y-changed", "y", "1"}));
}

TEST(Signal, EveryEmissionPostsTheSemaphoreOnceEvenWithoutSlots) {
    Signal<> signal;
    EXPECT_FALSE(signal.emittedSemaphore().Try());
    signal.emit();
    EXPECT_TRUE(signal.emittedSemaphore().Try());
    EXPECT_FALSE(signal.emittedSemaphore().Try());
    signal.emit();
    signal.emit();
    EXPECT_TRUE(signal.emittedSemaphore().Try());
    EXPECT_TRUE(signal.emittedSemaphore().Try());
    EXPECT_FALSE(signal.emittedSemaphore().Try());
}

TEST(Signal, CopiesAndMovesStartEmptyAndLeaveTheSourceConnected) {
    Signal<> source;
    int sourceCalls = 0;
    for (int i = 0; i < 3; ++i) {
        source.connect([&] { ++sourceCalls; });
    }

    Signal<> copy(source);
    Signal<> moved(std::move(source));
    int copyCalls = 0;
    EXPECT_EQ(copy.connect([&] { ++copyCalls; }), 1);
    EXPECT_EQ(moved.connect([] {}), 1);
    copy.emit();
    moved.emit();
    EXPECT_EQ(sourceCalls, 0);
    EXPECT_EQ(copyCalls, 1);

    source.emit();
    EXPECT_EQ(sourceCalls, 3);
    EXPECT_EQ(source.connect([] {}), 4);
}

TEST(Signal, AssignmentKeepsTheTargetsOwnConnectionsAndIds) {
    Signal<> target;
    int targetCalls = 0;
    int id = target.connect([&] { ++targetCalls; });
    Signal<> other;
    int otherCalls = 0;
    other.connect([&] { ++otherCalls; });
    other.connect([&] { ++otherCalls; });

    target = other;
    target = Signal<>();
    target.emit();
    EXPECT_EQ(targetCalls, 1);
    EXPECT_EQ(otherCalls, 0);
    // A receiver still holding its id removes its own slot, nobody else's.
    target.disconnect(id);
    EXPECT_EQ(target.connect([] {}), 2);
}

TEST(Signal, ThrowingSlotEndsTheEmissionAndReleasesTheLock) {
    auto owner = std::make_unique<Signal<>>();
    Signal<>& signal = *owner;
    std::vector<int> ran;
    signal.connect([&] { ran.push_back(1); });
    signal.connect([&] {
        ran.push_back(2);
        throw std::runtime_error("slot failed");
    });
    signal.connect([&] { ran.push_back(3); });

    EXPECT_THROW(signal.emit(), std::runtime_error);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_FALSE(signal.emittedSemaphore().Try());
    EXPECT_TRUE(connectsFromAnotherThread(owner));
}

TEST(Signal, EmptyCallableRaisesBadFunctionCallAndReleasesTheLock) {
    auto owner = std::make_unique<Signal<>>();
    Signal<>& signal = *owner;
    signal.connect(std::function<void()>());
    EXPECT_THROW(signal.emit(), std::bad_function_call);
    EXPECT_TRUE(connectsFromAnotherThread(owner));
}

TEST(Signal, ConnectDuringAnEmissionWaitsForItAndIsNotCalledByIt) {
    Signal<> signal;
    std::promise<void> slotEntered;
    std::promise<void> releaseSlot;
    std::shared_future<void> release = releaseSlot.get_future().share();
    std::atomic<int> lateCalls{0};
    signal.connect([&] {
        slotEntered.set_value();
        release.wait_for(5s);
    });

    auto emission = std::async(std::launch::async, [&] { signal.emit(); });
    slotEntered.get_future().wait();
    auto connecting =
        std::async(std::launch::async, [&] { return signal.connect([&] { ++lateCalls; }); });
    EXPECT_EQ(connecting.wait_for(100ms), std::future_status::timeout);

    releaseSlot.set_value();
    ASSERT_EQ(emission.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(connecting.get(), 2);
    EXPECT_EQ(lateCalls, 0);
}

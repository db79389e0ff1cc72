#include "foundation/Guarded.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

TEST(Guarded, ConcurrentChangesThroughWithAreNeverLost) {
    constexpr int Threads = 4;
    constexpr int Increments = 20000;
    Guarded<long> counter(0L);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&counter] {
            for (int i = 0; i < Increments; ++i) {
                counter.with([](long& value) { ++value; });
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter.with([](long const& value) { return value; }), Threads * Increments);
}

TEST(Guarded, WithReturnsTheFunctionsResultAsACopy) {
    Guarded<std::string> text("abc");
    std::string copy = text.with([](std::string& value) -> std::string& {
        value += "d";
        return value;
    });
    copy += "!";
    EXPECT_EQ(text.with([](std::string const& value) { return value; }), "abcd");
    EXPECT_EQ(copy, "abcd!");
}

TEST(Guarded, AConstGuardedOnlyLendsItsValueAsConst) {
    Guarded<std::vector<int>> const numbers(3, 7);
    size_t const size = numbers.with([](auto& value) {
        static_assert(std::is_const_v<std::remove_reference_t<decltype(value)>>);
        return value.size();
    });
    EXPECT_EQ(size, 3u);
}

} // namespace

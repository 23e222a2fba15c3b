#include "base/thr_ThreadExitHook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> calls{0};
std::atomic<int> valueSum{0};

void Count(void* value) {
    ++calls;
    valueSum += *static_cast<int*>(value);
}

TEST(ThreadExitHook, RunsOnceForEachThreadThatArmedItWithThatThreadsValue) {
    calls = 0;
    valueSum = 0;
    thr_ThreadExitHook hook(Count);
    std::vector<int> values = {1, 10, 100, 1000};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < values.size(); ++t) {
        // The last thread does not arm the hook and must not be counted.
        threads.emplace_back([&, t] {
            if (t + 1 < values.size()) {
                EXPECT_TRUE(hook.Arm(&values[t]));
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(3, calls.load());
    EXPECT_EQ(111, valueSum.load());
}

} // namespace

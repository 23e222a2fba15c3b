#include "base/thr_GlobalSingletonImpl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {
std::atomic<int> constructed{0};
std::atomic<int> destroyed{0};

struct Tracked {
    Tracked() { ++constructed; }
    ~Tracked() { ++destroyed; }
};
} // namespace

template class thr_GlobalSingletonBase<Tracked>;
template class thr_GlobalSingleton<Tracked>;

// The singleton and its counters are process-wide: each test starts with no instance and
// fresh counts, whichever test ran before it.
class GlobalSingleton : public ::testing::Test {
protected:
    void SetUp() override {
        thr_GlobalSingleton<Tracked>::Destroy();
        constructed = 0;
        destroyed = 0;
    }
    void TearDown() override { thr_GlobalSingleton<Tracked>::Destroy(); }
};

TEST_F(GlobalSingleton, ConcurrentFirstUseCreatesOneObject) {
    EXPECT_EQ(nullptr, thr_GlobalSingletonBase<Tracked>::Instance());
    std::vector<std::thread> threads;
    std::atomic<Tracked*> seen[8] = {};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { seen[i] = &thr_GlobalSingleton<Tracked>::Instance(); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(1, constructed.load());
    for (auto& pointer : seen)
        EXPECT_EQ(thr_GlobalSingletonBase<Tracked>::Instance(), pointer.load());
}

TEST_F(GlobalSingleton, DestroyReleasesAndALaterUseStartsAfresh) {
    thr_GlobalSingleton<Tracked>::Instance();
    thr_GlobalSingleton<Tracked>::Destroy();
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(nullptr, thr_GlobalSingletonBase<Tracked>::Instance());
    thr_GlobalSingleton<Tracked>::Destroy(); // nothing left: harmless
    EXPECT_EQ(1, destroyed.load());
    Tracked& fresh = thr_GlobalSingleton<Tracked>::Instance();
    EXPECT_EQ(2, constructed.load());
    EXPECT_EQ(&fresh, thr_GlobalSingletonBase<Tracked>::Instance());
}

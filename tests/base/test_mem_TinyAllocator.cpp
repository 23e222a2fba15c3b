// The small-object allocator: sizes at every class boundary, the alignment an object of
// each size may need, objects that never overlap, release on other threads and by threads
// that end, and spans given back on finalisation while live objects stay valid.
#include "base/base_Modules.h"
#include "base/mem_Memory.h"
#include "base/mem_TinyAllocator.h"
#include "base/thr_ThreadExitHook.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

// A block that knows what it should hold: its size, and a byte pattern from a seed.
struct Block {
    unsigned char* bytes;
    std::size_t size;
    unsigned seed;

    void Fill() const {
        for (std::size_t k = 0; k < size; ++k)
            bytes[k] = static_cast<unsigned char>(seed + k * 7);
    }
    bool Intact() const {
        for (std::size_t k = 0; k < size; ++k)
            if (bytes[k] != static_cast<unsigned char>(seed + k * 7))
                return false;
        return true;
    }
};

Block AllocateFilled(std::size_t size, unsigned seed) {
    Block block{static_cast<unsigned char*>(mem_TinyAllocator::Allocate(size)), size, seed};
    if (block.bytes != nullptr)
        block.Fill();
    return block;
}

// The alignment malloc and operator new promise for a request of `size` bytes: enough for
// any object with a fundamental alignment that fits in it.
std::size_t AlignmentFor(std::size_t size) {
    std::size_t alignment = 1;
    while (alignment * 2 <= size && alignment * 2 <= alignof(std::max_align_t))
        alignment *= 2;
    return alignment;
}

// Every test starts from a state in which nothing of earlier tests is cached, and ends by
// checking that it gave back every span and object it took.
class TinyAllocator : public ::testing::Test {
protected:
    void SetUp() override {
        mem_TinyAllocator::ReleaseUnused();
        before = mem_TinyAllocator::GetStatistics();
    }

    void ExpectEverythingBack() {
        mem_TinyAllocator::ReleaseUnused();
        const mem_TinyAllocator::Statistics after = mem_TinyAllocator::GetStatistics();
        EXPECT_EQ(before.objectsOut, after.objectsOut);
        EXPECT_EQ(before.spans, after.spans);
        EXPECT_EQ(before.heapBytes, after.heapBytes);
        EXPECT_EQ(0u, after.cachedOnThisThread);
    }

    mem_TinyAllocator::Statistics before{};
};

TEST_F(TinyAllocator, EverySizeGetsDistinctAlignedObjectsThatHoldTheirBytes) {
    const std::size_t sizes[] = {0,   1,   2,   7,   8,   9,   15,  16,  17,  23,  24,  25,
                                 31,  32,  33,  47,  48,  49,  63,  64,  65,  79,  80,  81,
                                 95,  96,  97,  111, 112, 113, 127, 128, 129, 159, 160, 161,
                                 191, 192, 193, 223, 224, 225, 255, 256, 257, 300, 4096};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(testing::Message() << "size " << size);
        std::vector<Block> blocks;
        for (unsigned k = 0; k < 300; ++k) {
            blocks.push_back(AllocateFilled(size, k));
            ASSERT_NE(nullptr, blocks.back().bytes);
            EXPECT_EQ(0u,
                      reinterpret_cast<std::uintptr_t>(blocks.back().bytes) % AlignmentFor(size));
            const bool small = size <= mem_TinyAllocator::largestSize;
            EXPECT_EQ(small, mem_TinyAllocator::Owns(blocks.back().bytes));
            if (small) {
                EXPECT_GE(mem_TinyAllocator::UsableSize(blocks.back().bytes), size);
            }
        }
        std::vector<Block> byAddress = blocks;
        std::sort(byAddress.begin(), byAddress.end(),
                  [](const Block& a, const Block& b) { return a.bytes < b.bytes; });
        for (std::size_t k = 1; k < byAddress.size(); ++k)
            EXPECT_LE(byAddress[k - 1].bytes + std::max<std::size_t>(size, 1), byAddress[k].bytes);
        for (const Block& block : blocks) {
            EXPECT_TRUE(block.Intact());
            mem_TinyAllocator::Free(block.bytes);
        }
    }
    ExpectEverythingBack();
}

TEST_F(TinyAllocator, FreeTakesBlocksOfTheCHeapAndNull) {
    void* heapBlock = std::malloc(40);
    ASSERT_NE(nullptr, heapBlock);
    EXPECT_FALSE(mem_TinyAllocator::Owns(heapBlock));
    EXPECT_FALSE(mem_TinyAllocator::Owns(nullptr));
    mem_TinyAllocator::Free(heapBlock);
    mem_TinyAllocator::Free(nullptr);
    ExpectEverythingBack();
}

TEST_F(TinyAllocator, ObjectsReleasedOnAnotherThreadComeBackWhole) {
    std::vector<Block> blocks;
    std::thread allocating([&] {
        for (unsigned k = 0; k < 5000; ++k)
            blocks.push_back(AllocateFilled(1 + k % mem_TinyAllocator::largestSize, k));
    });
    allocating.join();
    bool intact = true;
    std::thread releasing([&] {
        for (const Block& block : blocks) {
            intact = intact && block.Intact();
            mem_TinyAllocator::Free(block.bytes);
        }
    });
    releasing.join();
    EXPECT_TRUE(intact);
    // Both threads have ended, so whatever they held has gone back already.
    EXPECT_EQ(before.objectsOut, mem_TinyAllocator::GetStatistics().objectsOut);
    ExpectEverythingBack();
}

// Objects travel between threads through a shared exchange and are released wherever they
// land; each is checked for its bytes first, so that an object handed out twice shows.
TEST_F(TinyAllocator, ManyThreadsAllocatingAndReleasingEachOthersObjects) {
    const int threadCount = 8;
    std::mutex exchangeLock;
    std::vector<Block> exchange;
    std::atomic<int> damaged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u);
            std::vector<Block> own;
            for (int step = 0; step < 20000; ++step) {
                const unsigned choice = random() % 4;
                if (choice < 2) {
                    own.push_back(AllocateFilled(random() % 200, random()));
                } else if (choice == 2 && !own.empty()) {
                    std::lock_guard<std::mutex> guard(exchangeLock);
                    exchange.push_back(own.back());
                    own.pop_back();
                } else {
                    Block block{};
                    {
                        std::lock_guard<std::mutex> guard(exchangeLock);
                        if (exchange.empty())
                            continue;
                        block = exchange.back();
                        exchange.pop_back();
                    }
                    damaged += block.Intact() ? 0 : 1;
                    mem_TinyAllocator::Free(block.bytes);
                }
            }
            for (const Block& block : own) {
                damaged += block.Intact() ? 0 : 1;
                mem_TinyAllocator::Free(block.bytes);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const Block& block : exchange) {
        damaged += block.Intact() ? 0 : 1;
        mem_TinyAllocator::Free(block.bytes);
    }
    EXPECT_EQ(0, damaged.load());
    ExpectEverythingBack();
}

TEST_F(TinyAllocator, AThreadThatEndsGivesBackWhatItHeld) {
    std::size_t heldByThread = 0;
    std::thread worker([&] {
        std::vector<void*> objects;
        for (int k = 0; k < 100; ++k)
            objects.push_back(mem_TinyAllocator::Allocate(16));
        for (void* object : objects)
            mem_TinyAllocator::Free(object);
        heldByThread = mem_TinyAllocator::GetStatistics().cachedOnThisThread;
    });
    worker.join();
    EXPECT_GT(heldByThread, 0u);
    EXPECT_EQ(before.objectsOut, mem_TinyAllocator::GetStatistics().objectsOut);
    ExpectEverythingBack();
}

// Objects that a thread's exit handlers release after the allocator's own handler gave the
// thread's lists back (a hook armed later runs later) must still reach the pools.
void ReleaseLate(void* value) {
    std::vector<void*>* objects = static_cast<std::vector<void*>*>(value);
    for (void* object : *objects)
        mem_TinyAllocator::Free(object);
    objects->clear();
}

TEST_F(TinyAllocator, ObjectsReleasedAfterTheThreadGaveBackItsListsStillReturn) {
    // The allocator makes its hook when a thread first keeps objects; this one comes later.
    mem_TinyAllocator::Free(mem_TinyAllocator::Allocate(8));
    mem_TinyAllocator::ReleaseUnused();
    before = mem_TinyAllocator::GetStatistics();
    thr_ThreadExitHook lateHook(ReleaseLate);
    std::vector<void*> objects;
    std::thread worker([&] {
        for (int k = 0; k < 200; ++k)
            objects.push_back(mem_TinyAllocator::Allocate(48));
        mem_TinyAllocator::Free(mem_TinyAllocator::Allocate(48));
        ASSERT_TRUE(lateHook.Arm(&objects));
    });
    worker.join();
    EXPECT_TRUE(objects.empty());
    EXPECT_EQ(before.objectsOut, mem_TinyAllocator::GetStatistics().objectsOut);
    ExpectEverythingBack();
}

TEST_F(TinyAllocator, FinalisationKeepsLiveObjectsAndReturnsTheRest) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        int modules = 0;
        ASSERT_EQ(0, bas_moduleUseCount("atr"));
        atr_initialize(modules);
        std::vector<Block> kept;
        std::vector<Block> dropped;
        for (unsigned k = 0; k < 20000; ++k) {
            if (k % 1000 == 0)
                kept.push_back(AllocateFilled(16, k));
            else
                dropped.push_back(AllocateFilled(17 + k % 100, k));
        }
        for (const Block& block : dropped)
            mem_TinyAllocator::Free(block.bytes);
        const mem_TinyAllocator::Statistics inUse = mem_TinyAllocator::GetStatistics();
        atr_finalize(modules);
        EXPECT_EQ(0, modules);
        // The spans of the dropped objects went back; those of the kept ones stay, and so
        // do the kept objects' bytes, which can still be written.
        const mem_TinyAllocator::Statistics finalised = mem_TinyAllocator::GetStatistics();
        EXPECT_LT(finalised.spans, inUse.spans);
        EXPECT_LT(finalised.heapBytes, inUse.heapBytes);
        EXPECT_GT(finalised.spans, before.spans);
        EXPECT_EQ(0u, finalised.cachedOnThisThread);
        for (Block& block : kept) {
            EXPECT_TRUE(block.Intact());
            EXPECT_TRUE(mem_TinyAllocator::Owns(block.bytes));
            block.seed += 1;
            block.Fill();
        }
        for (const Block& block : kept) {
            EXPECT_TRUE(block.Intact());
            mem_TinyAllocator::Free(block.bytes);
        }
        ExpectEverythingBack();
    }
}

TEST_F(TinyAllocator, TheMemoryServicesUseItForTinyObjectsAndSmallBlocks) {
    const bool pooled = mem_TinyAllocator::servesTinyRequests;
    void* tiny = mem_OperatorNewTinyThrow(12);
    void* small = mem_Malloc(64);
    void* large = mem_Malloc(mem_TinyAllocator::largestSize + 1);
    ASSERT_TRUE(tiny && small && large);
    EXPECT_EQ(pooled, mem_TinyAllocator::Owns(tiny));
    EXPECT_EQ(pooled, mem_TinyAllocator::Owns(small));
    EXPECT_FALSE(mem_TinyAllocator::Owns(large));
    mem_Free(tiny);
    mem_Free(large);

    // A small block grown past the pools' sizes, and shrunk back, keeps its bytes.
    std::memset(small, 0x5A, 64);
    unsigned char* grown =
        static_cast<unsigned char*>(mem_Realloc(small, mem_TinyAllocator::largestSize + 1000));
    ASSERT_NE(nullptr, grown);
    EXPECT_FALSE(mem_TinyAllocator::Owns(grown));
    EXPECT_EQ(64, std::count(grown, grown + 64, 0x5A));
    unsigned char* shrunk = static_cast<unsigned char*>(mem_Realloc(grown, 40));
    ASSERT_NE(nullptr, shrunk);
    EXPECT_EQ(40, std::count(shrunk, shrunk + 40, 0x5A));
    EXPECT_EQ(nullptr, mem_Realloc(shrunk, 0));
    // A block that still fits its class stays where it is.
    void* fitting = mem_Malloc(100);
    void* refitted = mem_Realloc(fitting, 110);
    ASSERT_NE(nullptr, refitted);
    if (pooled) {
        EXPECT_EQ(fitting, refitted);
    }
    EXPECT_EQ(nullptr, mem_Realloc(refitted, 0));
    mem_Free(nullptr);
    ExpectEverythingBack();
}

} // namespace

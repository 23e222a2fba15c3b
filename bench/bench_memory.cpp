// The host's small-object service against the C heap: a block record's allocation and release
// one after the other, a thousand taken and then given back, and objects released on another
// thread than the one that made them (the report buffer's case).
#include "base/mem_Memory.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const std::size_t recordSize = 16;
const int manyObjects = 1000;

void BM_AllocateAndRelease_Tiny(benchmark::State& state) {
    for (auto _ : state) {
        void* object = mem_OperatorNewTinyThrow(recordSize);
        benchmark::DoNotOptimize(object);
        mem_Free(object);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_AllocateAndRelease_Malloc(benchmark::State& state) {
    for (auto _ : state) {
        void* object = std::malloc(recordSize);
        benchmark::DoNotOptimize(object);
        std::free(object);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ManyThenRelease_Tiny(benchmark::State& state) {
    std::vector<void*> objects(manyObjects);
    for (auto _ : state) {
        for (void*& object : objects)
            object = mem_OperatorNewTinyThrow(recordSize);
        benchmark::DoNotOptimize(objects.data());
        for (void* object : objects)
            mem_Free(object);
    }
    state.SetItemsProcessed(state.iterations() * manyObjects);
}

void BM_ManyThenRelease_Malloc(benchmark::State& state) {
    std::vector<void*> objects(manyObjects);
    for (auto _ : state) {
        for (void*& object : objects)
            object = std::malloc(recordSize);
        benchmark::DoNotOptimize(objects.data());
        for (void* object : objects)
            std::free(object);
    }
    state.SetItemsProcessed(state.iterations() * manyObjects);
}

// Batches of objects made on this thread and released on a second one, handed over as a
// whole under a lock; the handing over is the same for both allocators.
template <void* (*Allocate)(std::size_t), void (*Release)(void*)>
void ReleasedOnAnotherThread(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<void*> handed;
    bool done = false;
    std::thread releaser([&] {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [&] { return done || !handed.empty(); });
            std::vector<void*> batch;
            batch.swap(handed);
            guard.unlock();
            for (void* object : batch)
                Release(object);
            changed.notify_all();
            guard.lock();
            if (done && handed.empty())
                return;
        }
    });
    for (auto _ : state) {
        std::vector<void*> batch(manyObjects);
        for (void*& object : batch)
            object = Allocate(recordSize);
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return handed.empty(); });
        handed.swap(batch);
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    changed.notify_all();
    releaser.join();
    state.SetItemsProcessed(state.iterations() * manyObjects);
}

void* mallocOrAbort(std::size_t size) {
    void* object = std::malloc(size);
    if (object == nullptr)
        std::abort();
    return object;
}

void BM_ReleasedOnAnotherThread_Tiny(benchmark::State& state) {
    ReleasedOnAnotherThread<mem_OperatorNewTinyThrow, mem_Free>(state);
}

void BM_ReleasedOnAnotherThread_Malloc(benchmark::State& state) {
    ReleasedOnAnotherThread<mallocOrAbort, std::free>(state);
}

} // namespace

BENCHMARK(BM_AllocateAndRelease_Tiny);
BENCHMARK(BM_AllocateAndRelease_Malloc);
BENCHMARK(BM_ManyThenRelease_Tiny)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ManyThenRelease_Malloc)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReleasedOnAnotherThread_Tiny)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ReleasedOnAnotherThread_Malloc)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();

// cow_List side by side with std::deque and std::vector: building by append and prepend,
// random and sequential reads, copying, and the first write after a copy.
#include "base/mem_Memory.h"
#include "cow/cow_List.h"
#include "cow/cow_ListIter.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <random>
#include <vector>

namespace {

constexpr int kMillion = 1 << 20;

std::vector<int> RandomIndices(int size, int count) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pick(0, size - 1);
    std::vector<int> indices(count);
    for (int& index : indices)
        index = pick(random);
    return indices;
}

cow_List<int> CowOf(int size) {
    cow_List<int> list;
    for (int k = 0; k < size; ++k)
        list.Append(k);
    return list;
}

void BM_Append_Cow(benchmark::State& state) {
    for (auto _ : state) {
        cow_List<int> list;
        for (int k = 0; k < kMillion; ++k)
            list.Append(k);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Append_Deque(benchmark::State& state) {
    for (auto _ : state) {
        std::deque<int> list;
        for (int k = 0; k < kMillion; ++k)
            list.push_back(k);
        benchmark::DoNotOptimize(list.size());
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Append_Vector(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<int> list;
        for (int k = 0; k < kMillion; ++k)
            list.push_back(k);
        benchmark::DoNotOptimize(list.size());
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

// Sized for the million up front, the list uses blocks of 2^16 elements.
void BM_Append_CowSized(benchmark::State& state) {
    for (auto _ : state) {
        cow_List<int> list(cow_ListSized, kMillion);
        for (int k = 0; k < kMillion; ++k)
            list.Append(k);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Prepend_Cow(benchmark::State& state) {
    for (auto _ : state) {
        cow_List<int> list;
        for (int k = 0; k < kMillion; ++k)
            list.Prepend(k);
        benchmark::DoNotOptimize(list.Count());
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Prepend_Deque(benchmark::State& state) {
    for (auto _ : state) {
        std::deque<int> list;
        for (int k = 0; k < kMillion; ++k)
            list.push_front(k);
        benchmark::DoNotOptimize(list.size());
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_RandomRead_Cow(benchmark::State& state) {
    const cow_List<int> list = CowOf(kMillion);
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += list.ConstGet(index);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_RandomRead_CowSized(benchmark::State& state) {
    cow_List<int> list(cow_ListSized, kMillion);
    for (int k = 0; k < kMillion; ++k)
        list.Append(k);
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += list.ConstGet(index);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_RandomRead_Deque(benchmark::State& state) {
    std::deque<int> list;
    for (int k = 0; k < kMillion; ++k)
        list.push_back(k);
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += list[index];
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_RandomRead_Vector(benchmark::State& state) {
    std::vector<int> list;
    for (int k = 0; k < kMillion; ++k)
        list.push_back(k);
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += list[index];
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

// What a random read costs in the list's layout, without the list: a directory of block
// records, each pointing at 16 elements (three dependent loads, as in ConstGet), and the
// same blocks reached straight from the directory (two, as in a deque). Records and
// elements come from the allocation calls a list makes, in the order appends make them.
struct RecordLayout {
    struct Record {
        std::int32_t refCount;
        int* items;
    };
    std::vector<Record*> records;
    std::vector<int*> items;

    explicit RecordLayout(int size) {
        for (int b = 0; b < size / 16; ++b) {
            Record* record = static_cast<Record*>(mem_OperatorNewTinyThrow(sizeof(Record)));
            record->refCount = 1;
            record->items = static_cast<int*>(mem_Malloc(16 * sizeof(int)));
            for (int j = 0; j < 16; ++j)
                record->items[j] = b * 16 + j;
            records.push_back(record);
            items.push_back(record->items);
        }
    }
    ~RecordLayout() {
        for (Record* record : records) {
            mem_Free(record->items);
            mem_Free(record);
        }
    }
};

void BM_RandomRead_RecordLayoutBaseline(benchmark::State& state) {
    const RecordLayout layout(kMillion);
    const RecordLayout::Record* const* directory = layout.records.data();
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += directory[index >> 4]->items[index & 15];
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_RandomRead_DirectLayoutBaseline(benchmark::State& state) {
    const RecordLayout layout(kMillion);
    int* const* directory = layout.items.data();
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += directory[index >> 4][index & 15];
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Iterate_CowIter(benchmark::State& state) {
    const cow_List<int> list = CowOf(kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (cow_ListIter<int> it(list); it.IsValid(); it.Next())
            sum += it.ConstGet();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Iterate_CowIndex(benchmark::State& state) {
    const cow_List<int> list = CowOf(kMillion);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int j = 0; j < list.Count(); ++j)
            sum += list.ConstGet(j);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Iterate_Deque(benchmark::State& state) {
    std::deque<int> list;
    for (int k = 0; k < kMillion; ++k)
        list.push_back(k);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int value : list)
            sum += value;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

void BM_Iterate_Vector(benchmark::State& state) {
    std::vector<int> list;
    for (int k = 0; k < kMillion; ++k)
        list.push_back(k);
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int value : list)
            sum += value;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kMillion);
}

// Copy and destroy the copy; the argument is the number of elements.
void BM_Copy_Cow(benchmark::State& state) {
    const cow_List<int> list = CowOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        cow_List<int> copy(list);
        benchmark::DoNotOptimize(copy.Count());
    }
}

void BM_Copy_Deque(benchmark::State& state) {
    std::deque<int> list;
    for (int k = 0; k < state.range(0); ++k)
        list.push_back(k);
    for (auto _ : state) {
        std::deque<int> copy(list);
        benchmark::DoNotOptimize(copy.size());
    }
}

void BM_Copy_Vector(benchmark::State& state) {
    std::vector<int> list;
    for (int k = 0; k < state.range(0); ++k)
        list.push_back(k);
    for (auto _ : state) {
        std::vector<int> copy(list);
        benchmark::DoNotOptimize(copy.size());
    }
}

// Copy, write one element of the copy, destroy the copy: the copy takes its own directory
// and one block, and gives both back.
void BM_FirstWriteAfterCopy_Cow(benchmark::State& state) {
    const cow_List<int> list = CowOf(static_cast<int>(state.range(0)));
    const int middle = list.Count() / 2;
    for (auto _ : state) {
        cow_List<int> copy(list);
        copy.Get(middle) = -1;
        benchmark::DoNotOptimize(copy.ConstGet(middle));
    }
    state.counters["directory"] = list.BlockSlots();
}

// What that should cost: a directory of the same size copied with one counter raised in
// each block it points at, one block of 16 elements copied, and both released again.
void BM_DirectoryAndBlockCopy_Baseline(benchmark::State& state) {
    const cow_List<int> list = CowOf(static_cast<int>(state.range(0)));
    const int entries = list.BlockSlots();
    // Spaced like block records, each followed by its 16 elements.
    std::vector<std::int32_t*> counters(entries);
    std::vector<std::vector<int>> items(entries);
    for (int b = 0; b < entries; ++b) {
        counters[b] = new std::int32_t(1);
        items[b].resize(16);
    }
    for (auto _ : state) {
        auto** directory = static_cast<std::int32_t**>(std::malloc(entries * sizeof(void*)));
        for (int b = 0; b < entries; ++b) {
            directory[b] = counters[b];
            ++*directory[b];
        }
        int* block = static_cast<int*>(std::malloc(16 * sizeof(int)));
        for (int j = 0; j < 16; ++j)
            block[j] = items[entries / 2][j];
        benchmark::DoNotOptimize(block[3]);
        for (int b = 0; b < entries; ++b)
            --*directory[b];
        benchmark::DoNotOptimize(directory[entries / 2]);
        std::free(block);
        std::free(directory);
    }
    for (std::int32_t* counter : counters)
        delete counter;
    state.counters["directory"] = entries;
}

void BM_FirstWriteAfterCopy_Deque(benchmark::State& state) {
    std::deque<int> list;
    for (int k = 0; k < state.range(0); ++k)
        list.push_back(k);
    for (auto _ : state) {
        std::deque<int> copy(list);
        copy[copy.size() / 2] = -1;
        benchmark::DoNotOptimize(copy[copy.size() / 2]);
    }
}

} // namespace

BENCHMARK(BM_Append_Cow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Append_CowSized)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Append_Deque)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Append_Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Prepend_Cow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Prepend_Deque)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead_Cow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead_CowSized)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead_Deque)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead_Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead_RecordLayoutBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead_DirectLayoutBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iterate_CowIter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iterate_CowIndex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iterate_Deque)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iterate_Vector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy_Cow)->Arg(16)->Arg(kMillion);
BENCHMARK(BM_Copy_Deque)->Arg(16)->Arg(kMillion)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Copy_Vector)->Arg(16)->Arg(kMillion)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstWriteAfterCopy_Cow)->Arg(16)->Arg(kMillion)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DirectoryAndBlockCopy_Baseline)->Arg(16)->Arg(kMillion)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstWriteAfterCopy_Deque)->Arg(16)->Arg(kMillion)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

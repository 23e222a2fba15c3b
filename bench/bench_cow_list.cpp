// cow_List side by side with std::deque and std::vector: building by append and prepend,
// random and sequential reads, copying, and the first write after a copy. Each container is
// reached through an adapter of the same few calls, and every measurement is one case of the
// table at the end.
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

// The adapters: build, read one element, walk them all, write one.
struct Cow {
    Cow() = default;
    explicit Cow(int expected) : list(cow_ListSized, expected) {}
    cow_List<int> list;
    void Append(int v) { list.Append(v); }
    void Prepend(int v) { list.Prepend(v); }
    int Read(int i) const { return list.ConstGet(i); }
    int Count() const { return list.Count(); }
    void Write(int i, int v) { list.Get(i) = v; }
    std::int64_t Sum() const {
        std::int64_t sum = 0;
        for (int j = 0; j < list.Count(); ++j)
            sum += list.ConstGet(j);
        return sum;
    }
};

// Sized for the million up front, the list uses blocks of 2^16 elements.
struct CowSized : Cow {
    CowSized() : Cow(kMillion) {}
};

// The same list walked by its iterator instead of by index.
struct CowIter : Cow {
    std::int64_t Sum() const {
        std::int64_t sum = 0;
        for (cow_ListIter<int> it(list); it.IsValid(); it.Next())
            sum += it.ConstGet();
        return sum;
    }
};

template <class Container> struct Std {
    Container list;
    void Append(int v) { list.push_back(v); }
    void Prepend(int v) { list.push_front(v); }
    int Read(int i) const { return list[i]; }
    int Count() const { return static_cast<int>(list.size()); }
    void Write(int i, int v) { list[i] = v; }
    std::int64_t Sum() const {
        std::int64_t sum = 0;
        for (int value : list)
            sum += value;
        return sum;
    }
};
typedef Std<std::deque<int>> Deque;
typedef Std<std::vector<int>> Vector;

template <class C> C Filled(int size) {
    C container;
    for (int k = 0; k < size; ++k)
        container.Append(k);
    return container;
}

// A million items per iteration, whatever the body does with them.
template <class Body> void PerMillion(benchmark::State& state, Body body) {
    for (auto _ : state)
        body();
    state.SetItemsProcessed(state.iterations() * kMillion);
}

template <class C> void Append(benchmark::State& state) {
    PerMillion(state, [] { benchmark::DoNotOptimize(Filled<C>(kMillion).Count()); });
}

template <class C> void Prepend(benchmark::State& state) {
    PerMillion(state, [] {
        C container;
        for (int k = 0; k < kMillion; ++k)
            container.Prepend(k);
        benchmark::DoNotOptimize(container.Count());
    });
}

template <class C> void RandomRead(benchmark::State& state) {
    const C container = Filled<C>(kMillion);
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    PerMillion(state, [&] {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += container.Read(index);
        benchmark::DoNotOptimize(sum);
    });
}

template <class C> void Iterate(benchmark::State& state) {
    const C container = Filled<C>(kMillion);
    PerMillion(state, [&] { benchmark::DoNotOptimize(container.Sum()); });
}

// Copy and destroy the copy; the argument is the number of elements.
template <class C> void Copy(benchmark::State& state) {
    const C container = Filled<C>(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        C copy(container);
        benchmark::DoNotOptimize(copy.Count());
    }
}

// The directory's size, shown beside the first write after a copy; none for the others.
template <class C> void ShowDirectory(benchmark::State&, const C&) {}
void ShowDirectory(benchmark::State& state, const Cow& list) {
    state.counters["directory"] = list.list.BlockSlots();
}

// Copy, write one element of the copy, destroy the copy: the list's copy takes its own
// directory and one block, and gives both back.
template <class C> void FirstWriteAfterCopy(benchmark::State& state) {
    const C container = Filled<C>(static_cast<int>(state.range(0)));
    const int middle = container.Count() / 2;
    for (auto _ : state) {
        C copy(container);
        copy.Write(middle, -1);
        benchmark::DoNotOptimize(copy.Read(middle));
    }
    ShowDirectory(state, container);
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

void RecordLayoutRead(benchmark::State& state) {
    const RecordLayout layout(kMillion);
    const RecordLayout::Record* const* directory = layout.records.data();
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    PerMillion(state, [&] {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += directory[index >> 4]->items[index & 15];
        benchmark::DoNotOptimize(sum);
    });
}

void DirectLayoutRead(benchmark::State& state) {
    const RecordLayout layout(kMillion);
    int* const* directory = layout.items.data();
    const std::vector<int> indices = RandomIndices(kMillion, kMillion);
    PerMillion(state, [&] {
        std::int64_t sum = 0;
        for (int index : indices)
            sum += directory[index >> 4][index & 15];
        benchmark::DoNotOptimize(sum);
    });
}

// What the first write after a copy should cost: a directory of the same size copied with one
// counter raised in each block it points at, one block of 16 elements copied, and both
// released again.
void DirectoryAndBlockCopy(benchmark::State& state) {
    const Cow list = Filled<Cow>(static_cast<int>(state.range(0)));
    const int entries = list.list.BlockSlots();
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

struct Case {
    const char* name;
    void (*run)(benchmark::State&);
    benchmark::TimeUnit unit;
    // Run once per element count, 16 and a million; otherwise once.
    bool sized;
};

const Case cases[] = {
    {"BM_Append_Cow", Append<Cow>, benchmark::kMillisecond, false},
    {"BM_Append_CowSized", Append<CowSized>, benchmark::kMillisecond, false},
    {"BM_Append_Deque", Append<Deque>, benchmark::kMillisecond, false},
    {"BM_Append_Vector", Append<Vector>, benchmark::kMillisecond, false},
    {"BM_Prepend_Cow", Prepend<Cow>, benchmark::kMillisecond, false},
    {"BM_Prepend_Deque", Prepend<Deque>, benchmark::kMillisecond, false},
    {"BM_RandomRead_Cow", RandomRead<Cow>, benchmark::kMillisecond, false},
    {"BM_RandomRead_CowSized", RandomRead<CowSized>, benchmark::kMillisecond, false},
    {"BM_RandomRead_Deque", RandomRead<Deque>, benchmark::kMillisecond, false},
    {"BM_RandomRead_Vector", RandomRead<Vector>, benchmark::kMillisecond, false},
    {"BM_RandomRead_RecordLayoutBaseline", RecordLayoutRead, benchmark::kMillisecond, false},
    {"BM_RandomRead_DirectLayoutBaseline", DirectLayoutRead, benchmark::kMillisecond, false},
    {"BM_Iterate_CowIter", Iterate<CowIter>, benchmark::kMillisecond, false},
    {"BM_Iterate_CowIndex", Iterate<Cow>, benchmark::kMillisecond, false},
    {"BM_Iterate_Deque", Iterate<Deque>, benchmark::kMillisecond, false},
    {"BM_Iterate_Vector", Iterate<Vector>, benchmark::kMillisecond, false},
    {"BM_Copy_Cow", Copy<Cow>, benchmark::kNanosecond, true},
    {"BM_Copy_Deque", Copy<Deque>, benchmark::kMicrosecond, true},
    {"BM_Copy_Vector", Copy<Vector>, benchmark::kMicrosecond, true},
    {"BM_FirstWriteAfterCopy_Cow", FirstWriteAfterCopy<Cow>, benchmark::kMicrosecond, true},
    {"BM_DirectoryAndBlockCopy_Baseline", DirectoryAndBlockCopy, benchmark::kMicrosecond, true},
    {"BM_FirstWriteAfterCopy_Deque", FirstWriteAfterCopy<Deque>, benchmark::kMicrosecond, true},
};

} // namespace

int main(int argc, char** argv) {
    for (const Case& c : cases) {
        benchmark::internal::Benchmark* registered =
            benchmark::RegisterBenchmark(c.name, c.run)->Unit(c.unit);
        if (c.sized)
            registered->Arg(16)->Arg(kMillion);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

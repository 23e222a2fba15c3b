#include "base/mem_TinyAllocator.h"

#include "base/mem_RegionMap.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

namespace {

const std::size_t spanSize = std::size_t(1) << mem_RegionMap::regionShift;
// Objects start one cache line into the span: a multiple of every class's alignment.
const std::size_t spanHeaderSize = 64;

// Multiples of 16 above 8: a request of more than 8 bytes may hold an object aligned to 16,
// as malloc and operator new promise, and objects sit at multiples of their class size
// from a 64-byte boundary. Only requests of up to 8 bytes get 8.
const int classCount = 13;
const std::size_t classSizes[classCount] = {8,   16,  32,  48,  64,  80, 96,
                                            112, 128, 160, 192, 224, 256};

// Objects move between a thread and the pools in batches of about 2 KiB.
constexpr int BatchFor(std::size_t size) {
    return 2048 / size < 4 ? 4 : 2048 / size > 32 ? 32 : static_cast<int>(2048 / size);
}

// Empty spans a pool keeps for reuse, so that a list built and dropped over and over does
// not take its spans from the C heap each time; ReleaseUnused gives them all back.
const int keptEmptySpans = 16;

struct ClassTable {
    unsigned char classOf[mem_TinyAllocator::largestSize / 8 + 1];
    int batch[classCount];
    constexpr ClassTable() : classOf(), batch() {
        int sizeClass = 0;
        for (std::size_t eighths = 0; eighths <= mem_TinyAllocator::largestSize / 8; ++eighths) {
            while (classSizes[sizeClass] < eighths * 8)
                ++sizeClass;
            classOf[eighths] = static_cast<unsigned char>(sizeClass);
        }
        for (int c = 0; c < classCount; ++c)
            batch[c] = BatchFor(classSizes[c]);
    }
};
constexpr ClassTable classTable;

struct FreeObject {
    FreeObject* next;
};

// The first bytes of every span. Everything but the class is changed under the pool's lock.
struct Span {
    Span* previous; // in the pool's list of spans that have objects to give
    Span* next;
    FreeObject* freeObjects; // given back and not handed out again
    char* untouched;         // from here to the end nothing has been handed out since the
                             // span was made or last found empty
    int sizeClass;
    int capacity;
    int outstanding; // in use, or held by a thread
};
static_assert(sizeof(Span) <= spanHeaderSize, "the span header overlaps the first object");

char* FirstObject(Span* span) {
    return reinterpret_cast<char*>(span) + spanHeaderSize;
}

Span* SpanOf(const void* block) {
    return reinterpret_cast<Span*>(reinterpret_cast<std::uintptr_t>(block) & ~(spanSize - 1));
}

// The shared stock of one size class.
struct Pool {
    std::mutex lock;
    Span* available = nullptr; // spans with objects to give, empty ones included
    int emptySpans = 0;
    std::size_t objectsOut = 0;
};

// Never destroyed: objects may be released by other static objects' destructors, in any
// order, and by threads that outlive main.
union Shared {
    constexpr Shared() : state() {}
    ~Shared() {}
    struct State {
        mem_RegionMap spans;
        Pool pools[classCount];
        std::atomic<std::size_t> spanCount{0};
    } state;
};
Shared shared;

Pool& PoolOf(int sizeClass) {
    return shared.state.pools[sizeClass];
}

void Link(Pool& pool, Span* span) {
    span->previous = nullptr;
    span->next = pool.available;
    if (pool.available != nullptr)
        pool.available->previous = span;
    pool.available = span;
}

void Unlink(Pool& pool, Span* span) {
    if (span->previous != nullptr)
        span->previous->next = span->next;
    else
        pool.available = span->next;
    if (span->next != nullptr)
        span->next->previous = span->previous;
}

// An empty span hands out its objects in address order again, without walking a list.
void Reset(Span* span) {
    span->freeObjects = nullptr;
    span->untouched = FirstObject(span);
}

Span* NewSpan(int sizeClass) {
    void* memory = ::operator new(spanSize, std::align_val_t(spanSize), std::nothrow);
    if (memory == nullptr)
        return nullptr;
    if (!shared.state.spans.Add(memory)) {
        ::operator delete(memory, std::align_val_t(spanSize));
        return nullptr;
    }
    Span* span = static_cast<Span*>(memory);
    Reset(span);
    span->sizeClass = sizeClass;
    span->capacity = static_cast<int>((spanSize - spanHeaderSize) / classSizes[sizeClass]);
    span->outstanding = 0;
    shared.state.spanCount.fetch_add(1, std::memory_order_relaxed);
    return span;
}

void DeleteSpan(Span* span) {
    // Out of the map first: once the memory is the C heap's again, its blocks are not ours.
    shared.state.spans.Remove(span);
    ::operator delete(span, std::align_val_t(spanSize));
    shared.state.spanCount.fetch_sub(1, std::memory_order_relaxed);
}

// Deletes a chain of spans linked through `next`, outside any pool lock.
void DeleteSpans(Span* chain) {
    while (chain != nullptr) {
        Span* next = chain->next;
        DeleteSpan(chain);
        chain = next;
    }
}

// What a thread receives from a pool: a chain of objects given back earlier, or a run of
// objects in address order that nobody has touched, which costs nothing to hand over.
struct Refill {
    FreeObject* chain;
    char* runBegin;
    char* runEnd;
    int count;
};

// Up to `wanted` objects from one span; an empty refill only when no span could be had.
Refill TakeFromPool(int sizeClass, int wanted) {
    Pool& pool = PoolOf(sizeClass);
    Refill refill = {nullptr, nullptr, nullptr, 0};
    std::lock_guard<std::mutex> guard(pool.lock);
    Span* span = pool.available;
    if (span == nullptr) {
        span = NewSpan(sizeClass);
        if (span == nullptr)
            return refill;
        Link(pool, span);
    } else if (span->outstanding == 0) {
        --pool.emptySpans;
    }
    const std::size_t size = classSizes[sizeClass];
    int taken = 0;
    if (span->freeObjects != nullptr) {
        FreeObject* last = span->freeObjects;
        for (taken = 1; taken < wanted && last->next != nullptr; ++taken)
            last = last->next;
        refill.chain = span->freeObjects;
        span->freeObjects = last->next;
        last->next = nullptr;
    } else {
        const char* end = reinterpret_cast<char*>(span) + spanSize;
        const int untouched = static_cast<int>((end - span->untouched) / size);
        taken = untouched < wanted ? untouched : wanted;
        refill.runBegin = span->untouched;
        refill.runEnd = span->untouched + static_cast<std::size_t>(taken) * size;
        span->untouched = refill.runEnd;
    }
    refill.count = taken;
    span->outstanding += taken;
    pool.objectsOut += static_cast<std::size_t>(taken);
    if (span->outstanding == span->capacity)
        Unlink(pool, span);
    return refill;
}

// Bookkeeping for objects that came back to their span; the span, if it is left empty and
// the pool keeps enough empty ones already, is unlinked and chained onto `released`.
void PutBack(Pool& pool, Span* span, int count, Span*& released) {
    if (span->outstanding == span->capacity)
        Link(pool, span);
    pool.objectsOut -= static_cast<std::size_t>(count);
    span->outstanding -= count;
    if (span->outstanding > 0)
        return;
    Reset(span);
    if (pool.emptySpans < keptEmptySpans) {
        ++pool.emptySpans;
        return;
    }
    Unlink(pool, span);
    span->next = released;
    released = span;
}

void ReturnChain(int sizeClass, FreeObject* chain) {
    Pool& pool = PoolOf(sizeClass);
    Span* released = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        // Objects released one after another mostly share a span: count them per span.
        while (chain != nullptr) {
            Span* span = SpanOf(chain);
            int count = 0;
            do {
                FreeObject* object = chain;
                chain = chain->next;
                object->next = span->freeObjects;
                span->freeObjects = object;
                ++count;
            } while (chain != nullptr && SpanOf(chain) == span);
            PutBack(pool, span, count, released);
        }
    }
    DeleteSpans(released);
}

// A run a thread did not use up. It goes back as untouched memory when it still ends where
// the span's untouched part begins, which is the usual case.
void ReturnRun(int sizeClass, char* begin, char* end) {
    Pool& pool = PoolOf(sizeClass);
    const std::size_t size = classSizes[sizeClass];
    Span* released = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        Span* span = SpanOf(begin);
        if (span->untouched == end) {
            span->untouched = begin;
        } else {
            for (char* object = begin; object < end; object += size) {
                FreeObject* given = reinterpret_cast<FreeObject*>(object);
                given->next = span->freeObjects;
                span->freeObjects = given;
            }
        }
        PutBack(pool, span, static_cast<int>((end - begin) / size), released);
    }
    DeleteSpans(released);
}

void ReleaseEmptySpans(int sizeClass) {
    Pool& pool = PoolOf(sizeClass);
    Span* released = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        Span* span = pool.available;
        while (span != nullptr) {
            Span* next = span->next;
            if (span->outstanding == 0) {
                Unlink(pool, span);
                span->next = released;
                released = span;
            }
            span = next;
        }
        pool.emptySpans = 0;
    }
    DeleteSpans(released);
}

enum CacheState : unsigned char { cacheUnarmed = 0, cacheArmed, cacheRetired };

// What a thread holds of one class: a list it takes from and gives to, a batch set aside
// when the list grew to a batch (so that a batch leaves in one step), and a run.
struct ClassCache {
    FreeObject* head;
    FreeObject* setAside;
    char* runNext;
    char* runEnd;
};

// A thread's objects. Plain data with no constructor, so that reaching it costs no
// initialisation check; the returner below hands the objects back when the thread ends.
// `room` counts the releases a list takes before it is set aside; it stays at 0 while the
// thread is unarmed or retired, so that a release notices either state on its slow path.
struct ThreadCache {
    ClassCache classes[classCount];
    int room[classCount];
    CacheState state;
};
thread_local ThreadCache threadCache;

void ReturnClassCache(int sizeClass, ClassCache& cache) {
    const ClassCache held = cache;
    cache = ClassCache{nullptr, nullptr, nullptr, nullptr};
    if (held.head != nullptr)
        ReturnChain(sizeClass, held.head);
    if (held.setAside != nullptr)
        ReturnChain(sizeClass, held.setAside);
    if (held.runNext != held.runEnd)
        ReturnRun(sizeClass, held.runNext, held.runEnd);
}

void ReturnThreadCache(ThreadCache& thread) {
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass) {
        ReturnClassCache(sizeClass, thread.classes[sizeClass]);
        if (thread.state == cacheArmed)
            thread.room[sizeClass] = classTable.batch[sizeClass];
    }
}

struct ThreadCacheReturner {
    bool armed = false;
    ~ThreadCacheReturner() {
        ThreadCache& thread = threadCache;
        // Objects released later on this thread (by other thread-local destructors) go
        // straight to the pools.
        thread.state = cacheRetired;
        ReturnThreadCache(thread);
        for (int& room : thread.room)
            room = 0;
    }
};
thread_local ThreadCacheReturner threadCacheReturner;

// The thread's lists are returned when it ends, from now on.
void Arm(ThreadCache& thread) {
    threadCacheReturner.armed = true;
    thread.state = cacheArmed;
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass)
        thread.room[sizeClass] = classTable.batch[sizeClass];
}

void* TakeOneFromPool(int sizeClass) {
    const Refill refill = TakeFromPool(sizeClass, 1);
    return refill.chain != nullptr ? static_cast<void*>(refill.chain) : refill.runBegin;
}

// The list and the run are empty.
[[gnu::noinline]] void* AllocateWithEmptyList(int sizeClass) {
    ThreadCache& thread = threadCache;
    ClassCache& cache = thread.classes[sizeClass];
    if (cache.setAside != nullptr) {
        FreeObject* object = cache.setAside;
        cache.head = object->next;
        cache.setAside = nullptr;
        thread.room[sizeClass] -= classTable.batch[sizeClass] - 1;
        return object;
    }
    if (thread.state == cacheRetired)
        return TakeOneFromPool(sizeClass);
    if (thread.state == cacheUnarmed)
        Arm(thread);
    const Refill refill = TakeFromPool(sizeClass, classTable.batch[sizeClass]);
    if (refill.chain != nullptr) {
        cache.head = refill.chain->next;
        thread.room[sizeClass] -= refill.count - 1;
        return refill.chain;
    }
    if (refill.runBegin == nullptr)
        return nullptr;
    cache.runNext = refill.runBegin + classSizes[sizeClass];
    cache.runEnd = refill.runEnd;
    return refill.runBegin;
}

// A release found no room left in the list: set it aside (giving back a batch set aside
// earlier), or arm the thread, or, on a retired thread, give the list back at once.
[[gnu::noinline]] void ListFull(int sizeClass) {
    ThreadCache& thread = threadCache;
    ClassCache& cache = thread.classes[sizeClass];
    if (thread.state == cacheUnarmed) {
        Arm(thread);
        --thread.room[sizeClass];
        return;
    }
    FreeObject* chain = cache.head;
    cache.head = nullptr;
    if (thread.state == cacheRetired) {
        thread.room[sizeClass] = 0;
        ReturnChain(sizeClass, chain);
        return;
    }
    FreeObject* previous = cache.setAside;
    cache.setAside = chain;
    thread.room[sizeClass] = classTable.batch[sizeClass];
    if (previous != nullptr)
        ReturnChain(sizeClass, previous);
}

inline bool Likely(bool condition) {
    return __builtin_expect(condition, 1);
}

inline bool IsObject(const void* block) {
    return shared.state.spans.Contains(block);
}

inline void GiveBack(void* block) {
    FreeObject* object = static_cast<FreeObject*>(block);
    const int sizeClass = SpanOf(block)->sizeClass;
    ThreadCache& thread = threadCache;
    ClassCache& cache = thread.classes[sizeClass];
    object->next = cache.head;
    cache.head = object;
    if (!Likely(--thread.room[sizeClass] > 0))
        ListFull(sizeClass);
}

void* AllocateFromHeap(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

std::size_t ChainLength(const FreeObject* chain) {
    std::size_t length = 0;
    for (; chain != nullptr; chain = chain->next)
        ++length;
    return length;
}

} // namespace

void* mem_TinyAllocator::Allocate(std::size_t size) {
    if (!Likely(size <= largestSize))
        return AllocateFromHeap(size);
    const int sizeClass = classTable.classOf[(size + 7) >> 3];
    ThreadCache& thread = threadCache;
    ClassCache& cache = thread.classes[sizeClass];
    if (FreeObject* object = cache.head) {
        cache.head = object->next;
        ++thread.room[sizeClass];
        return object;
    }
    if (Likely(cache.runNext != cache.runEnd)) {
        void* object = cache.runNext;
        cache.runNext += classSizes[sizeClass];
        return object;
    }
    if (void* object = AllocateWithEmptyList(sizeClass))
        return object;
    // No span to be had (or no room left to record one): the C heap may still have room,
    // and Free tells its blocks apart.
    return AllocateFromHeap(classSizes[sizeClass]);
}

void mem_TinyAllocator::Free(void* block) {
    if (Likely(IsObject(block)))
        GiveBack(block);
    else
        std::free(block);
}

bool mem_TinyAllocator::Owns(const void* block) {
    return IsObject(block);
}

std::size_t mem_TinyAllocator::UsableSize(const void* block) {
    return classSizes[SpanOf(block)->sizeClass];
}

void mem_TinyAllocator::ReleaseUnused() {
    ReturnThreadCache(threadCache);
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass)
        ReleaseEmptySpans(sizeClass);
}

mem_TinyAllocator::Statistics mem_TinyAllocator::GetStatistics() {
    Statistics statistics{shared.state.spanCount.load(std::memory_order_relaxed), 0, 0};
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass) {
        Pool& pool = PoolOf(sizeClass);
        {
            std::lock_guard<std::mutex> guard(pool.lock);
            statistics.objectsOut += pool.objectsOut;
        }
        const ClassCache& cache = threadCache.classes[sizeClass];
        statistics.cachedOnThisThread +=
            ChainLength(cache.head) + ChainLength(cache.setAside) +
            static_cast<std::size_t>(cache.runEnd - cache.runNext) / classSizes[sizeClass];
    }
    return statistics;
}

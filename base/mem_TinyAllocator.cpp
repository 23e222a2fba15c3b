#include "base/mem_TinyAllocator.h"

#include "base/mem_RegionMap.h"
#include "base/thr_ThreadExitHook.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace {

const std::size_t spanSize = std::size_t(1) << mem_RegionMap::regionShift;
// Objects start one cache line into the span: a multiple of every class's alignment.
const std::size_t spanHeaderSize = 64;

// Multiples of 16 above 8: a request of more than 8 bytes may hold an object aligned to 16,
// as malloc and operator new promise, and objects sit at multiples of their class size
// from a 64-byte boundary. Only requests of up to 8 bytes get 8. The classes above 256 hold
// a list's blocks of sixteen elements of up to 80 bytes (an element tree's nodes), which the
// C heap serves several times slower.
constexpr int classCount = 19;
constexpr std::size_t classSizes[classCount] = {8,   16,  32,  48,  64,  80,  96,  112,  128, 160,
                                                192, 224, 256, 320, 384, 512, 768, 1024, 1280};

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

struct Chunk;

// The first bytes of every span. Everything but the class and the chunk is changed under the
// pool's lock.
struct Span {
    Span* previous; // in the pool's list of spans that have objects to give
    Span* next;
    FreeObject* freeObjects; // given back and not handed out again
    char* untouched;         // from here to the end nothing has been handed out since the
                             // span was made or last found empty
    Chunk* chunk;
    int indexInChunk;
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

// Spans are carved from chunks of the C heap: a 64 KiB block aligned on its own would cost
// as much again in padding. Chunks hold 1, 2, 4, 8 and then 16 spans, so that a process that
// needs few spans takes little; a chunk goes back when all its spans are back.
struct Chunk {
    void* memory;
    char* firstSpan;
    Chunk* previous; // among the chunks that have a span to give
    Chunk* next;
    std::uint32_t freeSpans; // bit k: span k is not in use
    std::uint32_t allSpans;
    int spans;
};

const int largestChunkSpans = 16;

struct SpanSource {
    Chunk* withFreeSpans = nullptr;
    int nextChunkSpans = 1;
    std::size_t heapBytes = 0;
};

// The shared stock of one size class.
struct Pool {
    Span* available = nullptr; // spans with objects to give, empty ones included
    int emptySpans = 0;
    std::size_t objectsOut = 0;
};

// Never destroyed: objects may be released by other static objects' destructors, in any
// order, and by threads that outlive main. All zeros at start-up, so that an allocation
// made while other static objects are constructed finds it ready.
union Shared {
    constexpr Shared() : state() {}
    ~Shared() {}
    struct State {
        mem_RegionMap spans;
        SpanSource source;
        Pool pools[classCount];
        std::atomic<std::size_t> spanCount{0};
    } state;
};
Shared shared;

// Made on first use and never destroyed, for the same reasons; a mutex cannot be made at
// compile time everywhere (MinGW's cannot).
struct Locks {
    std::mutex source; // the span source and the region map
    std::mutex pools[classCount];
};

Locks& SharedLocks();

// A pool's lock is taken before the source's (a span is made under the pool's lock).
void LockAllForFork() {
    Locks& locks = SharedLocks();
    for (std::mutex& pool : locks.pools)
        pool.lock();
    locks.source.lock();
}

void UnlockAllAfterFork() {
    Locks& locks = SharedLocks();
    locks.source.unlock();
    for (std::mutex& pool : locks.pools)
        pool.unlock();
}

Locks* MakeLocks(void* storage) {
    Locks* const locks = new (storage) Locks;
#if !defined(_WIN32)
    pthread_atfork(LockAllForFork, UnlockAllAfterFork, UnlockAllAfterFork);
#endif
    return locks;
}

Locks& SharedLocks() {
    alignas(Locks) static unsigned char storage[sizeof(Locks)];
    static Locks* const locks = MakeLocks(storage);
    return *locks;
}

Pool& PoolOf(int sizeClass) {
    return shared.state.pools[sizeClass];
}

std::mutex& PoolLock(int sizeClass) {
    return SharedLocks().pools[sizeClass];
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

void LinkChunk(SpanSource& source, Chunk* chunk) {
    chunk->previous = nullptr;
    chunk->next = source.withFreeSpans;
    if (source.withFreeSpans != nullptr)
        source.withFreeSpans->previous = chunk;
    source.withFreeSpans = chunk;
}

void UnlinkChunk(SpanSource& source, Chunk* chunk) {
    if (chunk->previous != nullptr)
        chunk->previous->next = chunk->next;
    else
        source.withFreeSpans = chunk->next;
    if (chunk->next != nullptr)
        chunk->next->previous = chunk->previous;
}

// One span more than the chunk holds, so that the spans can start on a span boundary.
Chunk* NewChunk(SpanSource& source) {
    const int spans = source.nextChunkSpans;
    const std::size_t bytes = static_cast<std::size_t>(spans + 1) * spanSize;
    void* memory = std::malloc(bytes);
    Chunk* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk)));
    if (memory == nullptr || chunk == nullptr) {
        std::free(memory);
        std::free(chunk);
        return nullptr;
    }
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(memory);
    chunk->memory = memory;
    chunk->firstSpan = static_cast<char*>(memory) + ((spanSize - start % spanSize) % spanSize);
    chunk->allSpans = (std::uint32_t(1) << spans) - 1;
    chunk->freeSpans = chunk->allSpans;
    chunk->spans = spans;
    source.heapBytes += bytes;
    if (spans < largestChunkSpans)
        source.nextChunkSpans = spans * 2;
    LinkChunk(source, chunk);
    return chunk;
}

void DeleteChunk(SpanSource& source, Chunk* chunk) {
    UnlinkChunk(source, chunk);
    source.heapBytes -= static_cast<std::size_t>(chunk->spans + 1) * spanSize;
    std::free(chunk->memory);
    std::free(chunk);
}

// A span-sized block on a span boundary, marked in the region map; null when the C heap
// has no room.
Span* TakeSpan() {
    SpanSource& source = shared.state.source;
    std::lock_guard<std::mutex> guard(SharedLocks().source);
    Chunk* chunk = source.withFreeSpans;
    if (chunk == nullptr && (chunk = NewChunk(source)) == nullptr)
        return nullptr;
    int index = 0;
    while ((chunk->freeSpans & (std::uint32_t(1) << index)) == 0)
        ++index;
    Span* span =
        reinterpret_cast<Span*>(chunk->firstSpan + static_cast<std::size_t>(index) * spanSize);
    if (!shared.state.spans.Add(span)) {
        if (chunk->freeSpans == chunk->allSpans)
            DeleteChunk(source, chunk);
        return nullptr;
    }
    chunk->freeSpans &= ~(std::uint32_t(1) << index);
    if (chunk->freeSpans == 0)
        UnlinkChunk(source, chunk);
    span->chunk = chunk;
    span->indexInChunk = index;
    return span;
}

void GiveSpan(Span* span) {
    SpanSource& source = shared.state.source;
    std::lock_guard<std::mutex> guard(SharedLocks().source);
    // Out of the map first: once the memory is the C heap's again, its blocks are not ours.
    shared.state.spans.Remove(span);
    Chunk* chunk = span->chunk;
    if (chunk->freeSpans == 0)
        LinkChunk(source, chunk);
    chunk->freeSpans |= std::uint32_t(1) << span->indexInChunk;
    if (chunk->freeSpans == chunk->allSpans)
        DeleteChunk(source, chunk);
}

Span* NewSpan(int sizeClass) {
    Span* span = TakeSpan();
    if (span == nullptr)
        return nullptr;
    Reset(span);
    span->sizeClass = sizeClass;
    span->capacity = static_cast<int>((spanSize - spanHeaderSize) / classSizes[sizeClass]);
    span->outstanding = 0;
    shared.state.spanCount.fetch_add(1, std::memory_order_relaxed);
    return span;
}

void DeleteSpan(Span* span) {
    GiveSpan(span);
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
    std::lock_guard<std::mutex> guard(PoolLock(sizeClass));
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
        std::lock_guard<std::mutex> guard(PoolLock(sizeClass));
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
        std::lock_guard<std::mutex> guard(PoolLock(sizeClass));
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
        std::lock_guard<std::mutex> guard(PoolLock(sizeClass));
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

// What a thread holds of one class: a list it takes from and gives to, a batch set aside
// when the list grew to a batch (so that a batch leaves in one step), and a run.
struct ClassCache {
    FreeObject* head;
    FreeObject* setAside;
    char* runNext;
    char* runEnd;
};

// A thread's objects, on the C heap: the thread-exit hook receives it as its value and
// gives everything back, whatever became of the thread's own thread-local storage by then.
// `room` counts the releases the list takes before it is set aside.
struct ThreadCache {
    ClassCache classes[classCount];
    int room[classCount];
};

// What a thread reads before it has a cache of its own, and again once its cache is gone:
// empty lists, no room, so that every call takes the slow path. Never written.
ThreadCache inactiveCache;

thread_local ThreadCache* threadCache = &inactiveCache;
thread_local bool threadEnded = false;

void ReturnThreadCache(ThreadCache& cache) {
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass) {
        ClassCache& held = cache.classes[sizeClass];
        const ClassCache taken = held;
        held = ClassCache{nullptr, nullptr, nullptr, nullptr};
        cache.room[sizeClass] = classTable.batch[sizeClass];
        if (taken.head != nullptr)
            ReturnChain(sizeClass, taken.head);
        if (taken.setAside != nullptr)
            ReturnChain(sizeClass, taken.setAside);
        if (taken.runNext != taken.runEnd)
            ReturnRun(sizeClass, taken.runNext, taken.runEnd);
    }
}

// Objects released later on the ending thread (by other exit handlers) go straight to the
// pools; with emulated thread-local storage a fresh, unended copy may be read instead, and
// the thread then makes a cache once more, which the hook's next round returns.
void ReturnCacheOfEndingThread(void* value) {
    ThreadCache* cache = static_cast<ThreadCache*>(value);
    ReturnThreadCache(*cache);
    std::free(cache);
    threadCache = &inactiveCache;
    threadEnded = true;
}

// Made on first use and never destroyed, like the shared state.
thr_ThreadExitHook& CacheReturner() {
    alignas(thr_ThreadExitHook) static unsigned char storage[sizeof(thr_ThreadExitHook)];
    static thr_ThreadExitHook* const hook =
        new (storage) thr_ThreadExitHook(ReturnCacheOfEndingThread);
    return *hook;
}

// The calling thread's own cache, made now; null on an ending thread, or when none can be
// made (the caller then works with the pools directly).
ThreadCache* MakeThreadCache() {
    if (threadEnded)
        return nullptr;
    ThreadCache* cache = static_cast<ThreadCache*>(std::calloc(1, sizeof(ThreadCache)));
    if (cache == nullptr)
        return nullptr;
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass)
        cache->room[sizeClass] = classTable.batch[sizeClass];
    if (!CacheReturner().Arm(cache)) {
        std::free(cache);
        return nullptr;
    }
    threadCache = cache;
    return cache;
}

void* TakeOneFromPool(int sizeClass) {
    const Refill refill = TakeFromPool(sizeClass, 1);
    return refill.chain != nullptr ? static_cast<void*>(refill.chain) : refill.runBegin;
}

// The list and the run are empty, or the thread has no cache yet.
[[gnu::noinline]] void* AllocateWithEmptyList(int sizeClass) {
    ThreadCache* thread = threadCache;
    if (thread == &inactiveCache && (thread = MakeThreadCache()) == nullptr)
        return TakeOneFromPool(sizeClass);
    ClassCache& cache = thread->classes[sizeClass];
    if (cache.setAside != nullptr) {
        FreeObject* object = cache.setAside;
        cache.head = object->next;
        cache.setAside = nullptr;
        thread->room[sizeClass] -= classTable.batch[sizeClass] - 1;
        return object;
    }
    const Refill refill = TakeFromPool(sizeClass, classTable.batch[sizeClass]);
    if (refill.chain != nullptr) {
        cache.head = refill.chain->next;
        thread->room[sizeClass] -= refill.count - 1;
        return refill.chain;
    }
    if (refill.runBegin == nullptr)
        return nullptr;
    cache.runNext = refill.runBegin + classSizes[sizeClass];
    cache.runEnd = refill.runEnd;
    return refill.runBegin;
}

// The list has room for one more, or the thread has no cache yet: the object goes on the
// list, which is then set aside (giving back a batch set aside earlier).
[[gnu::noinline]] void GiveBackWithoutRoom(FreeObject* object, int sizeClass) {
    ThreadCache* thread = threadCache;
    if (thread == &inactiveCache && (thread = MakeThreadCache()) == nullptr) {
        object->next = nullptr;
        ReturnChain(sizeClass, object);
        return;
    }
    ClassCache& cache = thread->classes[sizeClass];
    object->next = cache.head;
    cache.head = object;
    if (--thread->room[sizeClass] > 0)
        return;
    FreeObject* previous = cache.setAside;
    cache.setAside = cache.head;
    cache.head = nullptr;
    thread->room[sizeClass] = classTable.batch[sizeClass];
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
    ThreadCache& thread = *threadCache;
    int& room = thread.room[sizeClass];
    if (!Likely(room > 1)) {
        GiveBackWithoutRoom(object, sizeClass);
        return;
    }
    ClassCache& cache = thread.classes[sizeClass];
    object->next = cache.head;
    cache.head = object;
    --room;
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
    ThreadCache& thread = *threadCache;
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

void mem_TinyAllocator::InstallForkHandlers() {
    SharedLocks();
}

void mem_TinyAllocator::ReleaseUnused() {
    if (threadCache != &inactiveCache)
        ReturnThreadCache(*threadCache);
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass)
        ReleaseEmptySpans(sizeClass);
}

mem_TinyAllocator::Statistics mem_TinyAllocator::GetStatistics() {
    Statistics statistics{shared.state.spanCount.load(std::memory_order_relaxed), 0, 0, 0};
    {
        std::lock_guard<std::mutex> guard(SharedLocks().source);
        statistics.heapBytes = shared.state.source.heapBytes;
    }
    for (int sizeClass = 0; sizeClass < classCount; ++sizeClass) {
        Pool& pool = PoolOf(sizeClass);
        {
            std::lock_guard<std::mutex> guard(PoolLock(sizeClass));
            statistics.objectsOut += pool.objectsOut;
        }
        const ClassCache& cache = threadCache->classes[sizeClass];
        statistics.cachedOnThisThread +=
            ChainLength(cache.head) + ChainLength(cache.setAside) +
            static_cast<std::size_t>(cache.runEnd - cache.runNext) / classSizes[sizeClass];
    }
    return statistics;
}

#ifndef COW_COW_LISTBLOCK_H
#define COW_COW_LISTBLOCK_H

#include "base/mem_Memory.h"

#include <cstddef>
#include <cstdint>
#include <new>

// Raw storage for one block of a cow_List, shared by every list directory that points at
// it. The block never constructs or destroys elements: the owning list does that.
template <class T> class cow_ListBlock {
public:
    // The record comes from the host's small-object allocator, so it is created and
    // destroyed through these two functions rather than new and delete.
    static cow_ListBlock* Create(int size) {
        void* record = mem_OperatorNewTinyThrow(sizeof(cow_ListBlock));
        try {
            return new (record) cow_ListBlock(size);
        } catch (...) {
            mem_Free(record);
            throw;
        }
    }

    static void Destroy(cow_ListBlock* block) {
        block->~cow_ListBlock();
        mem_Free(block);
    }

    explicit cow_ListBlock(int size)
        : refCount(1),
          items(static_cast<T*>(mem_Malloc(static_cast<std::size_t>(size) * sizeof(T)))) {
        if (items == nullptr)
            throw std::bad_alloc();
    }

    ~cow_ListBlock() { mem_Free(items); }

    cow_ListBlock(const cow_ListBlock&) = delete;
    cow_ListBlock& operator=(const cow_ListBlock&) = delete;

    const T& ConstGet(int j) const { return items[j]; }
    T& Get(int j) { return items[j]; }
    const T* Items() const { return items; }

    // The address of slot j, which may hold no element yet.
    void* RawSlot(int j) { return items + j; }

    int RefCount() const { return refCount; }
    void AddRef() { ++refCount; }

    // Drops one directory's reference; true when none is left and the block must go.
    bool Release() { return --refCount == 0; }

private:
    std::int32_t refCount;
    T* items;
};

#endif

#include "base/mem_Memory.h"

#include "base/mem_TinyAllocator.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool isTinyObject(const void* block) {
    return mem_TinyAllocator::servesTinyRequests && mem_TinyAllocator::Owns(block);
}

// A tiny object that must grow or shrink moves, as realloc would move it.
void* reallocateTinyObject(void* block, std::size_t size) {
    const std::size_t usable = mem_TinyAllocator::UsableSize(block);
    if (size <= usable && size > usable / 2)
        return block;
    void* moved = mem_Malloc(size);
    if (moved == nullptr)
        return nullptr;
    std::memcpy(moved, block, size < usable ? size : usable);
    mem_TinyAllocator::Free(block);
    return moved;
}

void* throwIfNull(void* block) {
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

} // namespace

// Small blocks come from the small-object pools too: a list's blocks of elements are
// allocated here, and the C heap would cost a list several times what its records cost.
void* mem_Malloc(std::size_t size) {
    if (mem_TinyAllocator::servesTinyRequests)
        return mem_TinyAllocator::Allocate(size);
    return std::malloc(size);
}

void* mem_Realloc(void* block, std::size_t size) {
    // realloc(p, 0) is implementation-defined; the contract is "release".
    if (size == 0) {
        mem_Free(block);
        return nullptr;
    }
    if (block == nullptr)
        return mem_Malloc(size);
    if (isTinyObject(block))
        return reallocateTinyObject(block, size);
    return std::realloc(block, size);
}

void mem_Free(void* block) {
    if (mem_TinyAllocator::servesTinyRequests)
        mem_TinyAllocator::Free(block);
    else
        std::free(block);
}

void* mem_OperatorNewThrow(std::size_t size) {
    return throwIfNull(std::malloc(size == 0 ? 1 : size));
}
void* mem_OperatorNewThrowBuiltin(std::size_t size) {
    return throwIfNull(std::malloc(size == 0 ? 1 : size));
}
void* mem_OperatorNewTinyThrow(std::size_t size) {
    if (mem_TinyAllocator::servesTinyRequests)
        return throwIfNull(mem_TinyAllocator::Allocate(size));
    return throwIfNull(std::malloc(size == 0 ? 1 : size));
}

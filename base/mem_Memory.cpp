#include "base/mem_Memory.h"

#include <cstdlib>
#include <new>

void* mem_Malloc(std::size_t size) {
    return std::malloc(size);
}

void* mem_Realloc(void* block, std::size_t size) {
    // realloc(p, 0) is implementation-defined; the contract is "release".
    if (size == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, size);
}

void mem_Free(void* block) {
    std::free(block);
}

static void* allocateOrThrow(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void* mem_OperatorNewThrow(std::size_t size) {
    return allocateOrThrow(size);
}
void* mem_OperatorNewThrowBuiltin(std::size_t size) {
    return allocateOrThrow(size);
}
void* mem_OperatorNewTinyThrow(std::size_t size) {
    return allocateOrThrow(size);
}

#ifndef BASE_MEM_MEMORY_H
#define BASE_MEM_MEMORY_H

#include "base/base_Export.h"

#include <cstddef>

// The host's allocator. The mem_Malloc family behaves as malloc/realloc/free;
// the OperatorNew family never returns null and throws std::bad_alloc instead.
// mem_OperatorNewTinyThrow, and mem_Malloc for small blocks, are served by the small-object
// pools of mem_TinyAllocator; mem_Free and mem_Realloc take the blocks of every function
// here, on any thread.
QORKEL_API void* mem_Malloc(std::size_t size);
QORKEL_API void* mem_Realloc(void* block, std::size_t size);
QORKEL_API void mem_Free(void* block);
QORKEL_API void* mem_OperatorNewThrow(std::size_t size);
QORKEL_API void* mem_OperatorNewThrowBuiltin(std::size_t size);
QORKEL_API void* mem_OperatorNewTinyThrow(std::size_t size);

#endif

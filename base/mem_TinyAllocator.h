#ifndef BASE_MEM_TINYALLOCATOR_H
#define BASE_MEM_TINYALLOCATOR_H

#include "base/base_Export.h"

#include <cstddef>

// AddressSanitizer only sees errors in objects that come from the C heap one by one, so its
// builds leave tiny requests to malloc; the allocator itself is still built and testable.
#if defined(__SANITIZE_ADDRESS__)
#define MEM_TINY_OBJECTS_FROM_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEM_TINY_OBJECTS_FROM_MALLOC 1
#endif
#endif
#ifndef MEM_TINY_OBJECTS_FROM_MALLOC
#define MEM_TINY_OBJECTS_FROM_MALLOC 0
#endif

// The host's small-object service behind mem_OperatorNewTinyThrow (and mem_Malloc for small
// blocks). Objects of up to largestSize bytes are rounded up to a size class and carved from
// spans of 64 KiB, each aligned to its size, so that any address finds its span by masking;
// spans come from chunks of the C heap. Every thread keeps a few objects of each class:
// taking and giving back an object takes no lock. What a thread holds beyond two batches
// goes back to the shared pools, and all of it when the thread ends. An object may be
// released on any thread. A span whose objects are all back goes to the C heap, except a few
// per class kept for reuse until ReleaseUnused.
class QORKEL_API mem_TinyAllocator {
public:
    static const std::size_t largestSize = 1280;
    static const bool servesTinyRequests = !MEM_TINY_OBJECTS_FROM_MALLOC;

    // At least `size` bytes, aligned as operator new aligns an object of that size, or null
    // when memory is exhausted. A size above largestSize comes from the C heap, and so does
    // any object when no span can be had.
    static void* Allocate(std::size_t size);
    // Takes back an object, on whichever thread; a block that is not one of the allocator's
    // objects (the C heap's, or null) goes to free().
    static void Free(void* block);
    // Whether the address lies in one of the allocator's spans; never touches the address.
    static bool Owns(const void* block);
    // The size class of an object that Owns() accepts.
    static std::size_t UsableSize(const void* block);

    // Registers, once, the handlers that keep the pools whole across fork(): the pools' locks
    // are taken before the fork and released on both sides, so that a child never inherits
    // one held by a thread it does not have. The first use does this too; a library that
    // takes locks of its own around fork, under which it allocates, calls it before it
    // registers its handlers, so that its locks are taken first. Nothing on Windows.
    static void InstallForkHandlers();

    // Gives the calling thread's lists back and returns every span without a live object to
    // the C heap. Spans that still hold live objects stay, and so do the objects.
    static void ReleaseUnused();

    struct Statistics {
        std::size_t spans;              // spans in use by the size classes
        std::size_t heapBytes;          // taken from the C heap for spans, not yet returned
        std::size_t objectsOut;         // objects in use or in a thread's free list
        std::size_t cachedOnThisThread; // objects in the calling thread's free lists
    };
    static Statistics GetStatistics();
};

#endif

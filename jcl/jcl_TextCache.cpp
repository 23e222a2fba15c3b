#include "jcl/jcl_TextCache.h"

#include <cstdint>
#include <cstring>

jcl_TextCache::jcl_TextCache() {
    for (int& length : lengths)
        length = 0;
}

const cow_String& jcl_TextCache::Get(const char* text) {
    return Get(text, static_cast<int>(std::strlen(text)));
}

const cow_String& jcl_TextCache::Get(const char* text, int length) {
    if (length > maxCachedLength) {
        uncached = cow_String(text, length);
        return uncached;
    }
    std::uint32_t hash = 2166136261u;
    for (int k = 0; k < length; ++k)
        hash = (hash ^ static_cast<unsigned char>(text[k])) * 16777619u;
    const unsigned index = hash & (slotCount - 1);
    cow_String& slot = slots[index];
    if (lengths[index] != length || length == 0 ||
        std::memcmp(slot.c_str(), text, static_cast<std::size_t>(length)) != 0) {
        slot = cow_String(text, length);
        lengths[index] = length;
    }
    return slot;
}

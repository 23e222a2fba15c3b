#include "jcl/jcl_TextCache.h"

#include <cstdint>
#include <cstring>

jcl_TextCache::jcl_TextCache() {
    for (int& length : lengths)
        length = 0;
}

namespace {

std::uint64_t load(const char* bytes, int count) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, static_cast<std::size_t>(count));
    return word;
}

} // namespace

// The length and the first and last eight bytes: texts that agree in all of them share a
// slot, and the full comparison tells them apart.
unsigned jcl_TextCache::slotOf(const char* text, int length) {
    std::uint64_t mixed;
    if (length >= 8)
        mixed = load(text, 8) * 0x9E3779B97F4A7C15ull ^ load(text + length - 8, 8);
    else
        mixed = load(text, length);
    mixed = (mixed ^ static_cast<std::uint64_t>(length)) * 0xFF51AFD7ED558CCDull;
    return static_cast<unsigned>(mixed >> 56) & (slotCount - 1);
}

const cow_String& jcl_TextCache::Get(const char* text) {
    return Get(text, static_cast<int>(std::strlen(text)));
}

const cow_String& jcl_TextCache::Get(const char* text, int length) {
    if (length > maxCachedLength) {
        uncached = cow_String(text, length);
        return uncached;
    }
    const unsigned index = slotOf(text, length);
    cow_String& slot = slots[index];
    if (lengths[index] != length || length == 0 ||
        std::memcmp(slot.c_str(), text, static_cast<std::size_t>(length)) != 0) {
        slot = cow_String(text, length);
        lengths[index] = length;
    }
    return slot;
}

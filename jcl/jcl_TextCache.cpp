#include "jcl/jcl_TextCache.h"

#include <cstdint>
#include <cstring>

jcl_TextCache::jcl_TextCache() {
    for (int k = 0; k < slotCount; ++k) {
        lengths[k] = 0;
        texts[k] = "";
    }
}

namespace {

std::uint64_t loadWord(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Fewer than eight bytes, one at a time: a copy of a varying length is a library call.
std::uint64_t loadShort(const char* bytes, int count) {
    std::uint64_t word = 0;
    for (int k = 0; k < count; ++k)
        word = (word << 8) | static_cast<unsigned char>(bytes[k]);
    return word;
}

// Short texts word by word: memcmp's call costs more than the comparison.
bool sameBytes(const char* a, const char* b, int length) {
    if (length > 16)
        return std::memcmp(a, b, static_cast<std::size_t>(length)) == 0;
    if (length >= 8)
        return loadWord(a) == loadWord(b) && loadWord(a + length - 8) == loadWord(b + length - 8);
    for (int k = 0; k < length; ++k)
        if (a[k] != b[k])
            return false;
    return true;
}

} // namespace

// The length and the first and last eight bytes: texts that agree in all of them share a
// slot, and the full comparison tells them apart.
unsigned jcl_TextCache::slotOf(const char* text, int length) {
    std::uint64_t mixed;
    if (length >= 8)
        mixed = loadWord(text) * 0x9E3779B97F4A7C15ull ^ loadWord(text + length - 8);
    else
        mixed = loadShort(text, length);
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
    if (lengths[index] != length || length == 0 || !sameBytes(texts[index], text, length)) {
        slot = cow_String(text, length);
        lengths[index] = length;
        texts[index] = slot.c_str();
    }
    return slot;
}

#include "jcl/jcl_AttributeCache.h"

#include <cstdint>
#include <cstring>

jcl_AttributeCache::jcl_AttributeCache() = default;

// Eight bytes at a time; the key has room for the zeros that pad its last word.
unsigned jcl_AttributeCache::slotOf(char* key, std::size_t length) {
    std::memset(key + length, 0, 8);
    std::uint64_t hash = length;
    for (std::size_t at = 0; at < length; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, key + at, sizeof word);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    }
    return static_cast<unsigned>(hash >> 32) & (slotCount - 1);
}

jcl_AttributeCache::Attributes jcl_AttributeCache::build(const char* const* attributes,
                                                         jcl_TextCache& names,
                                                         jcl_TextCache& values,
                                                         long long& heldBytes) {
    Attributes map;
    long long bytes = 0;
    // Set rather than Insert: one search instead of two, and the parser never reports a
    // name twice in one element.
    for (int k = 0; attributes[k] != nullptr && attributes[k + 1] != nullptr; k += 2) {
        const cow_String& value = values.Get(attributes[k + 1]);
        bytes += static_cast<long long>(2 * sizeof(cow_String)) + value.length();
        map.Set(names.Get(attributes[k]), value);
    }
    heldBytes = bytes;
    return map;
}

const jcl_AttributeCache::Attributes& jcl_AttributeCache::Get(const char* const* attributes,
                                                              jcl_TextCache& names,
                                                              jcl_TextCache& values,
                                                              long long& heldBytes) {
    // Past the limit the list is built alone.
    char key[maxCachedBytes + 8];
    std::size_t length = 0;
    for (int k = 0; attributes[k] != nullptr && attributes[k + 1] != nullptr; k += 2) {
        for (int part = 0; part < 2; ++part) {
            const std::size_t size = std::strlen(attributes[k + part]) + 1;
            if (size > maxCachedBytes - length) {
                uncached = build(attributes, names, values, heldBytes);
                return uncached;
            }
            std::memcpy(key + length, attributes[k + part], size);
            length += size;
        }
    }
    Slot& slot = slots[slotOf(key, length)];
    if (slot.key.size() != length || std::memcmp(slot.key.data(), key, length) != 0) {
        // Built first: a failure leaves the slot as it was.
        long long bytes;
        slot.map = build(attributes, names, values, bytes);
        slot.heldBytes = bytes;
        slot.key.assign(key, length);
    }
    heldBytes = slot.heldBytes;
    return slot.map;
}

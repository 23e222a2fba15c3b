#include "jcl/jcl_AttributeCache.h"

#include <cstdint>
#include <cstring>

jcl_AttributeCache::jcl_AttributeCache() = default;

namespace {

// The first name and value only: lists that share them share a slot, and one of them,
// an address or an identifier that changes from stanza to stanza, replaces only its own
// kind. The full comparison tells them apart.
unsigned hashFirstPair(const char* const* attributes) {
    std::uint32_t hash = 2166136261u;
    for (int part = 0; part < 2; ++part) {
        for (const char* c = attributes[part]; *c != '\0'; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
        hash = (hash ^ 0xFFu) * 16777619u;
    }
    return hash;
}

// Whether the key holds the list, read in place.
bool holdsList(const std::string& key, const char* const* attributes) {
    const char* stored = key.data();
    const char* const end = stored + key.size();
    for (int k = 0; attributes[k] != nullptr && attributes[k + 1] != nullptr; k += 2) {
        for (int part = 0; part < 2; ++part) {
            const char* c = attributes[k + part];
            do {
                if (stored == end || *stored != *c)
                    return false;
                ++stored;
            } while (*c++ != '\0');
        }
    }
    return stored == end;
}

} // namespace

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
    heldBytes = 0;
    if (attributes[0] == nullptr || attributes[1] == nullptr)
        return none;
    Slot& slot = slots[hashFirstPair(attributes) & (slotCount - 1)];
    if (!holdsList(slot.key, attributes)) {
        // Past the limit the list is built alone.
        char key[maxCachedBytes];
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
        // Built first: a failure leaves the slot as it was.
        long long bytes;
        slot.map = build(attributes, names, values, bytes);
        slot.heldBytes = bytes;
        slot.key.assign(key, length);
    }
    heldBytes = slot.heldBytes;
    return slot.map;
}

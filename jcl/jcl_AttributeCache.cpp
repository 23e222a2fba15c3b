#include "jcl/jcl_AttributeCache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

jcl_AttributeCache::jcl_AttributeCache() = default;

namespace {

// Each part of a cached list takes at least its zero byte in the key.
const int maxCachedParts = jcl_AttributeCache::maxCachedBytes;

std::uint64_t loadWord(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// A text's first, middle and last eight bytes and its length, folded into one word; shorter
// texts byte by byte.
std::uint64_t foldText(const char* text, int length) {
    std::uint64_t folded = static_cast<std::uint64_t>(length);
    if (length >= 8) {
        folded ^= loadWord(text) * 0x9E3779B97F4A7C15ull;
        folded ^= loadWord(text + (length - 8) / 2) * 0xC2B2AE3D27D4EB4Full;
        folded ^= loadWord(text + length - 8);
        return folded;
    }
    for (int k = 0; k < length; ++k)
        folded = (folded << 8) | static_cast<unsigned char>(text[k]);
    return folded;
}

// The first name and value only: lists that share them share a slot, and one of them,
// an address or an identifier that changes from stanza to stanza, replaces only its own
// kind. The full comparison tells them apart.
unsigned hashFirstPair(const char* const* attributes, const int* lengths) {
    const std::uint64_t mixed = (foldText(attributes[0], lengths[0]) * 0xFF51AFD7ED558CCDull) ^
                                foldText(attributes[1], lengths[1]);
    return static_cast<unsigned>((mixed * 0xC4CEB9FE1A85EC53ull) >> 40);
}

// Whether the key holds the list's parts, each followed by its zero byte.
bool holdsList(const std::string& key, const char* const* attributes, const int* lengths, int parts,
               std::size_t keyBytes) {
    if (key.size() != keyBytes)
        return false;
    const char* stored = key.data();
    for (int part = 0; part < parts; ++part) {
        const std::size_t size = static_cast<std::size_t>(lengths[part]) + 1;
        if (std::memcmp(stored, attributes[part], size) != 0)
            return false;
        stored += size;
    }
    return true;
}

// The pairs' indices in ascending order of their names, as the map orders them; equal names
// keep the parser's order. A few pairs are sorted in place, without the buffer stable_sort
// takes.
void sortByName(const char* const* attributes, int* order, int pairs) {
    for (int j = 0; j < pairs; ++j)
        order[j] = j;
    const auto before = [attributes](int a, int b) {
        return std::strcmp(attributes[2 * a], attributes[2 * b]) < 0;
    };
    if (pairs > 16) {
        std::stable_sort(order, order + pairs, before);
        return;
    }
    for (int j = 1; j < pairs; ++j) {
        const int moving = order[j];
        int k = j;
        for (; k > 0 && before(moving, order[k - 1]); --k)
            order[k] = order[k - 1];
        order[k] = moving;
    }
}

} // namespace

jcl_AttributeCache::Attributes jcl_AttributeCache::build(const char* const* attributes,
                                                         const int* lengths, jcl_TextCache& names,
                                                         jcl_TextCache& values,
                                                         long long& heldBytes) {
    int pairs = 0;
    while (attributes[2 * pairs] != nullptr && attributes[2 * pairs + 1] != nullptr)
        ++pairs;
    int shortOrder[16];
    std::vector<int> longOrder;
    int* order = shortOrder;
    if (pairs > 16) {
        longOrder.resize(static_cast<std::size_t>(pairs));
        order = longOrder.data();
    }
    sortByName(attributes, order, pairs);
    Attributes map;
    map.Reserve(pairs);
    long long bytes = 0;
    // Set's semantics, should a name come twice (the parser never reports one so), without
    // its search: each name sorts after those in the map already.
    for (int j = 0; j < pairs; ++j) {
        const int k = 2 * order[j];
        const cow_String& value =
            lengths ? values.Get(attributes[k + 1], lengths[k + 1]) : values.Get(attributes[k + 1]);
        bytes += static_cast<long long>(2 * sizeof(cow_String)) + value.length();
        map.SetAscending(lengths ? names.Get(attributes[k], lengths[k]) : names.Get(attributes[k]),
                         value);
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
    // Measured once: the hash, the comparison, the key and the text caches all need them.
    int lengths[maxCachedParts];
    int parts = 0;
    std::size_t keyBytes = 0;
    for (int k = 0; attributes[k] != nullptr && attributes[k + 1] != nullptr; k += 2) {
        for (int part = 0; part < 2; ++part) {
            const std::size_t length = std::strlen(attributes[k + part]);
            keyBytes += length + 1;
            // Past the limit the list is built alone.
            if (keyBytes > maxCachedBytes) {
                uncached = build(attributes, nullptr, names, values, heldBytes);
                return uncached;
            }
            lengths[parts++] = static_cast<int>(length);
        }
    }
    Slot& slot = slots[hashFirstPair(attributes, lengths) & (slotCount - 1)];
    if (!holdsList(slot.key, attributes, lengths, parts, keyBytes)) {
        // Built first, and the key emptied before it grows: a failure leaves a slot that
        // matches no list, never one whose key and map disagree.
        long long bytes;
        Attributes map = build(attributes, lengths, names, values, bytes);
        slot.key.clear();
        slot.key.resize(keyBytes);
        char* key = &slot.key[0];
        for (int part = 0; part < parts; ++part) {
            const std::size_t size = static_cast<std::size_t>(lengths[part]) + 1;
            std::memcpy(key, attributes[part], size);
            key += size;
        }
        slot.map = std::move(map);
        slot.heldBytes = bytes;
    }
    heldBytes = slot.heldBytes;
    return slot.map;
}

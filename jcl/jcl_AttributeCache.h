#ifndef JCL_JCL_ATTRIBUTECACHE_H
#define JCL_JCL_ATTRIBUTECACHE_H

#include "base/base_Export.h"
#include "base/cow_Map.h"
#include "base/cow_String.h"
#include "jcl/jcl_TextCache.h"

#include <string>

// Recently seen attribute lists, each with the map built for it once. The elements of a
// stream of similar stanzas mostly repeat their attributes exactly (type="integer"); they
// then share one map instead of building their own, which a later write to either copies.
// Direct-mapped, like jcl_TextCache.
class QORKEL_API jcl_AttributeCache {
public:
    typedef cow_Map<cow_String, cow_String> Attributes;

    // Longer lists (names and values together) are not kept; they rarely repeat.
    static constexpr int maxCachedBytes = 128;

    jcl_AttributeCache();
    jcl_AttributeCache(const jcl_AttributeCache&) = delete;
    jcl_AttributeCache& operator=(const jcl_AttributeCache&) = delete;

    // The map of the parser's attribute list (name, value, ..., null), its strings taken
    // from the text caches; valid until the next call. heldBytes: what the element holds
    // for them, as the reader counts it against a stanza's limit.
    const Attributes& Get(const char* const* attributes, jcl_TextCache& names,
                          jcl_TextCache& values, long long& heldBytes);

private:
    static constexpr int slotCount = 64;

    struct Slot {
        // The list as names and values, each followed by a zero byte.
        std::string key;
        Attributes map;
        long long heldBytes = 0;
    };

    Slot slots[slotCount];
    Attributes uncached;
    const Attributes none{};

    // lengths: those of the list's texts, or null to have them measured.
    static Attributes build(const char* const* attributes, const int* lengths, jcl_TextCache& names,
                            jcl_TextCache& values, long long& heldBytes);
};

#endif

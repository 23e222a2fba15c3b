#ifndef JCL_JCL_TEXTCACHE_H
#define JCL_JCL_TEXTCACHE_H

#include "base/base_Export.h"
#include "base/cow_String.h"

// Recently seen short texts (element and attribute names, repeated attribute values).
// A stream of similar stanzas then shares one string per text instead of allocating
// it anew for every element: a hit costs a copy of a shared string, a miss replaces
// the slot. Direct-mapped, so a lookup is one hash and one comparison.
class QORKEL_API jcl_TextCache {
public:
    // Longer texts are not kept; they rarely repeat.
    static constexpr int maxCachedLength = 64;

    jcl_TextCache();
    jcl_TextCache(const jcl_TextCache&) = delete;
    jcl_TextCache& operator=(const jcl_TextCache&) = delete;

    // A string holding text; valid until the next call.
    const cow_String& Get(const char* text);
    // The same for a text of the given length that need not be zero-terminated.
    const cow_String& Get(const char* text, int length);

private:
    static constexpr int slotCount = 256;

    static unsigned slotOf(const char* text, int length);

    cow_String slots[slotCount];
    // Each slot's length, so that a miss is told without calling into the string.
    int lengths[slotCount];
    // And its text, which stays where it is while the slot holds the string.
    const char* texts[slotCount];
    cow_String uncached;
};

#endif

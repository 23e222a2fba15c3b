#include "base/base_Modules.h"

#include "base/mem_TinyAllocator.h"

#include <cstring>

namespace {

// None of the base services needs work at start-up: each creates its state on first
// use. The counters keep the pairing honest.
struct ModuleCounter {
    const char* name;
    int useCount;
};

ModuleCounter counters[] = {{"atr", 0}, {"cow", 0}, {"bas", 0}, {"xmp", 0}, {"utl", 0}};

void up(ModuleCounter& counter, int& moduleCount) {
    if (counter.useCount++ == 0)
        ++moduleCount;
}

// True for the last user's finalisation.
bool down(ModuleCounter& counter, int& moduleCount) {
    if (counter.useCount > 0 && --counter.useCount == 0) {
        --moduleCount;
        return true;
    }
    return false;
}

} // namespace

void atr_initialize(int& moduleCount) {
    up(counters[0], moduleCount);
}
void atr_finalize(int& moduleCount) {
    // Small objects still alive keep their spans; the rest go back to the C heap.
    if (down(counters[0], moduleCount))
        mem_TinyAllocator::ReleaseUnused();
}
void cow_initialize(int& moduleCount) {
    up(counters[1], moduleCount);
}
void cow_finalize(int& moduleCount) {
    down(counters[1], moduleCount);
}
void bas_initialize(int& moduleCount) {
    up(counters[2], moduleCount);
}
void bas_finalize(int& moduleCount) {
    down(counters[2], moduleCount);
}
void xmp_initialize(int& moduleCount) {
    up(counters[3], moduleCount);
}
void xmp_finalize(int& moduleCount) {
    down(counters[3], moduleCount);
}
void utl_initialize(int& moduleCount) {
    up(counters[4], moduleCount);
}
void utl_finalize(int& moduleCount) {
    down(counters[4], moduleCount);
}

int bas_moduleUseCount(const char* module) {
    for (const ModuleCounter& counter : counters)
        if (module != nullptr && std::strcmp(counter.name, module) == 0)
            return counter.useCount;
    return -1;
}

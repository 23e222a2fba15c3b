#ifndef BASE_MEM_REGIONMAP_H
#define BASE_MEM_REGIONMAP_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// A set of aligned regions of 2^regionShift bytes of the address space, one bit each, that
// can be asked about any address without touching it: the small-object allocator marks its
// spans here, so that mem_Free tells its objects from the C heap's. The bits come in windows
// of 4 GiB, made on first use; a 32-bit process has one window, a 64-bit heap a few, of the
// 2^16 that 48-bit addresses allow. The table of windows is made by the first Add, so that
// an empty map is all zeros and needs no initialisation at start-up. Lookups take no lock
// and may run alongside Add and Remove; Add and Remove are serialised by the caller. The
// table and a window, once made, live as long as the map.
class mem_RegionMap {
public:
    static const int regionShift = 16;

    constexpr mem_RegionMap() : windows(nullptr) {}
    mem_RegionMap(const mem_RegionMap&) = delete;
    mem_RegionMap& operator=(const mem_RegionMap&) = delete;
    ~mem_RegionMap();

    bool Contains(const void* address) const {
        const std::uint64_t value = AddressOf(address);
        const std::uint64_t window = value >> windowShift;
        const Window* table = windows.load(std::memory_order_acquire);
        if (window >= windowCount || table == nullptr)
            return false;
        const Bits* bits = table[window].load(std::memory_order_acquire);
        if (bits == nullptr)
            return false;
        const std::uint32_t region = RegionIndex(value);
        return (bits[region >> 5].load(std::memory_order_acquire) >> (region & 31)) & 1;
    }

    // The region that starts at `region`; false when the address lies beyond the windows or
    // no memory is left for a new window, and the region must then not be used as if it
    // were in the map.
    bool Add(const void* region);
    void Remove(const void* region);

private:
    static const int windowShift = 32;
    // One window for a 32-bit address space; 2^16 for 48-bit addresses.
    static const std::size_t windowCount = sizeof(void*) > 4 ? std::size_t(1) << 16 : 1;
    static const std::uint32_t regionsPerWindow = std::uint32_t(1) << (windowShift - regionShift);
    typedef std::atomic<std::uint32_t> Bits;
    typedef std::atomic<Bits*> Window;

    std::atomic<Window*> windows;

    static std::uint64_t AddressOf(const void* address) {
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address));
    }
    static std::uint32_t RegionIndex(std::uint64_t address) {
        return static_cast<std::uint32_t>(address >> regionShift) & (regionsPerWindow - 1);
    }
    Bits* WindowFor(std::uint64_t address);
    Window* Table();
};

#endif

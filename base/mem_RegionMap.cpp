#include "base/mem_RegionMap.h"

#include <new>

mem_RegionMap::~mem_RegionMap() {
    Window* table = windows.load(std::memory_order_relaxed);
    if (table == nullptr)
        return;
    for (std::size_t window = 0; window < windowCount; ++window)
        delete[] table[window].load(std::memory_order_relaxed);
    delete[] table;
}

bool mem_RegionMap::Add(const void* region) {
    const std::uint64_t value = AddressOf(region);
    Bits* bits = WindowFor(value);
    if (bits == nullptr)
        return false;
    const std::uint32_t index = RegionIndex(value);
    bits[index >> 5].fetch_or(std::uint32_t(1) << (index & 31), std::memory_order_release);
    return true;
}

void mem_RegionMap::Remove(const void* region) {
    const std::uint64_t value = AddressOf(region);
    const std::uint64_t window = value >> windowShift;
    Window* table = windows.load(std::memory_order_acquire);
    if (window >= windowCount || table == nullptr)
        return;
    Bits* bits = table[window].load(std::memory_order_acquire);
    if (bits == nullptr)
        return;
    const std::uint32_t index = RegionIndex(value);
    bits[index >> 5].fetch_and(~(std::uint32_t(1) << (index & 31)), std::memory_order_release);
}

mem_RegionMap::Window* mem_RegionMap::Table() {
    Window* table = windows.load(std::memory_order_relaxed);
    if (table == nullptr) {
        table = new (std::nothrow) Window[windowCount]();
        windows.store(table, std::memory_order_release);
    }
    return table;
}

mem_RegionMap::Bits* mem_RegionMap::WindowFor(std::uint64_t address) {
    const std::uint64_t window = address >> windowShift;
    if (window >= windowCount)
        return nullptr;
    Window* table = Table();
    if (table == nullptr)
        return nullptr;
    Bits* bits = table[window].load(std::memory_order_relaxed);
    if (bits == nullptr) {
        bits = new (std::nothrow) Bits[regionsPerWindow / 32]();
        table[window].store(bits, std::memory_order_release);
    }
    return bits;
}

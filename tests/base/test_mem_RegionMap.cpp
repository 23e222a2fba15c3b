// The set of span regions that the allocator asks about every released block. Addresses are
// made up: the map must answer without ever touching them.
#include "base/mem_RegionMap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

const std::uintptr_t regionSize = std::uintptr_t(1) << mem_RegionMap::regionShift;

const void* At(std::uint64_t address) {
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
}

TEST(RegionMap, AnEmptyMapHoldsNothing) {
    mem_RegionMap map;
    EXPECT_FALSE(map.Contains(nullptr));
    EXPECT_FALSE(map.Contains(At(0x12340000)));
    map.Remove(At(0x12340000));
    EXPECT_FALSE(map.Contains(At(0x12340000)));
}

TEST(RegionMap, HoldsEveryAddressOfAnAddedRegionAndNothingAround) {
    std::vector<std::uint64_t> regions = {0x00010000, 0x12340000, 0x7FFF0000, 0xFFFE0000};
    if (sizeof(void*) > 4) {
        // Other windows of 4 GiB, up to the last one of a 48-bit address space.
        regions.push_back(0x0000000100000000ull);
        regions.push_back(0x00007F1234560000ull);
        regions.push_back(0x0000FFFFFFFF0000ull);
    }
    mem_RegionMap map;
    for (std::uint64_t region : regions)
        ASSERT_TRUE(map.Add(At(region)));
    for (std::uint64_t region : regions) {
        SCOPED_TRACE(testing::Message() << std::hex << region);
        EXPECT_TRUE(map.Contains(At(region)));
        EXPECT_TRUE(map.Contains(At(region + 8)));
        EXPECT_TRUE(map.Contains(At(region + regionSize - 1)));
        EXPECT_FALSE(map.Contains(At(region - 1)));
        EXPECT_FALSE(map.Contains(At(region + regionSize)));
    }
    map.Remove(At(regions[1]));
    EXPECT_FALSE(map.Contains(At(regions[1] + 100)));
    EXPECT_TRUE(map.Contains(At(regions[0] + 100)));
    EXPECT_TRUE(map.Contains(At(regions[2] + 100)));
}

TEST(RegionMap, RefusesAddressesBeyondFortyEightBits) {
    if (sizeof(void*) == 4)
        GTEST_SKIP() << "every 32-bit address fits";
    mem_RegionMap map;
    const std::uint64_t beyond = 0x0001000000000000ull;
    EXPECT_FALSE(map.Add(At(beyond)));
    EXPECT_FALSE(map.Contains(At(beyond)));
    EXPECT_FALSE(map.Contains(At(0xFFFFFFFFFFFF0000ull)));
}

} // namespace

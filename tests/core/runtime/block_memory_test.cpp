// Block memory: mapped blocks given back are kept for the next block of about their size (bounded
// in bytes), blocks keep their contents while they grow and shrink, and the kept ones go back to
// the system on request.
#include "core/runtime/block_memory.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/runtime/platform.hpp"
#include "core/runtime/pod_vector.hpp"

namespace vorn {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

class BlockMemory : public ::testing::Test {
protected:
    void SetUp() override { block_memory::release_kept(); }
    void TearDown() override { block_memory::release_kept(); }
};

TEST_F(BlockMemory, AGivenBackBlockServesTheNextOfAboutItsSize) {
    if (!platform::kMapsBlocks) GTEST_SKIP() << "blocks come from the heap on this path: none are kept";
    void* first = block_memory::resize(nullptr, 0, 3 * kMiB, block_memory::Filling::AtOnce);
    ASSERT_NE(first, nullptr);
    std::memset(first, 7, 3 * kMiB);
    block_memory::release(first, 3 * kMiB);
    EXPECT_GE(block_memory::kept_bytes(), 3 * kMiB);
    // Slightly smaller and slightly larger requests within the same mapping reuse it.
    void* again = block_memory::resize(nullptr, 0, 3 * kMiB - 4096, block_memory::Filling::AtOnce);
    EXPECT_EQ(again, first);
    EXPECT_EQ(block_memory::kept_bytes(), 0u);
    // A block in use is never handed out twice.
    void* other = block_memory::resize(nullptr, 0, 3 * kMiB - 4096, block_memory::Filling::AtOnce);
    EXPECT_NE(other, again);
    block_memory::release(again, 3 * kMiB - 4096);
    block_memory::release(other, 3 * kMiB - 4096);
    // A request of less than half the kept mapping does not take it.
    void* small = block_memory::resize(nullptr, 0, kMiB, block_memory::Filling::AtOnce);
    EXPECT_NE(small, first);
    EXPECT_NE(small, other);
    block_memory::release(small, kMiB);
    block_memory::release_kept();
    EXPECT_EQ(block_memory::kept_bytes(), 0u);
}

TEST_F(BlockMemory, KeptBytesStayWithinTheirBound) {
    if (!platform::kMapsBlocks) GTEST_SKIP() << "blocks come from the heap on this path: none are kept";
    std::vector<void*> blocks;
    const std::size_t size = 48 * kMiB;
    for (std::size_t i = 0; i * size <= block_memory::kMaxKeptBytes + size; ++i) {
        blocks.push_back(block_memory::resize(nullptr, 0, size, block_memory::Filling::AtOnce));
        ASSERT_NE(blocks.back(), nullptr);
    }
    for (void* block : blocks) block_memory::release(block, size);
    EXPECT_LE(block_memory::kept_bytes(), block_memory::kMaxKeptBytes);
    EXPECT_GT(block_memory::kept_bytes(), block_memory::kMaxKeptBytes - 2 * size);
}

TEST_F(BlockMemory, BlocksKeepTheirValuesAcrossEverySize) {
    // From the C library's heap into a mapping, grown by remapping, shrunk, and back to the heap.
    const std::size_t sizes[] = {1000, 40000, 70000, 3 * kMiB, 9 * kMiB, 5 * kMiB, 90000, 2000};
    PodVector<std::uint32_t> values;
    std::size_t filled = 0;
    for (std::size_t bytes : sizes) {
        const std::size_t count = bytes / sizeof(std::uint32_t);
        const std::size_t kept = std::min(filled, count);
        values.resize(count);
        for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(values[i], static_cast<std::uint32_t>(i * 2654435761u)) << bytes;
        for (std::size_t i = kept; i < count; ++i) ASSERT_EQ(values[i], 0u) << bytes;  // resize zeroes
        for (std::size_t i = kept; i < count; ++i) values[i] = static_cast<std::uint32_t>(i * 2654435761u);
        filled = count;
        values.shrink_to_fit();
    }
}

TEST_F(BlockMemory, AReusedBlockIsZeroedWhereResizeAddsValues) {
    PodVector<double> a;
    a.resize(kMiB);
    for (double& v : a) v = 3.5;
    a = PodVector<double>();  // given back, kept with its values
    PodVector<double> b;
    b.resize(kMiB - 100);
    for (double v : b) ASSERT_EQ(v, 0.0);
}

}  // namespace
}  // namespace vorn

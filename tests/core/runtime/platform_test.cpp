#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/runtime/block_memory.hpp"
#include "core/runtime/platform.hpp"

// The platform layer gives the same results on the Linux calls and on the portable path: these
// tests run on both (the portable path with VORN_PORTABLE, and under Wine for Windows).
namespace vorn::platform {
namespace {

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        static std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("vorn_platform_" + std::to_string(random()));
        std::ofstream out(path_, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string name() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

TEST(Platform, ReadsARegularFileWithItsSize) {
    const std::string content = "line one\nline two\n\xC3\xA9\0tail";
    TempFile file(std::string(content.data(), content.size()));
    ReadFile read(file.name().c_str());
    ASSERT_EQ(read.error(), 0);
    EXPECT_EQ(read.regular_size(), content.size());
    std::vector<char> into(content.size() + 5, '#');
    // Asked for more than there is: the count read is short, at the end of the file.
    EXPECT_EQ(read.read(into.data(), into.size()), static_cast<std::ptrdiff_t>(content.size()));
    EXPECT_EQ(std::string(into.data(), content.size()), content);
    EXPECT_EQ(read.read(into.data(), into.size()), 0);
}

TEST(Platform, ReadsInPieces) {
    std::string content(100000, 'x');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
    TempFile file(content);
    ReadFile read(file.name().c_str());
    ASSERT_EQ(read.error(), 0);
    std::string got;
    char piece[4096];
    for (std::ptrdiff_t n; (n = read.read(piece, sizeof piece)) > 0;) got.append(piece, static_cast<std::size_t>(n));
    EXPECT_EQ(got, content);
}

TEST(Platform, EmptyFile) {
    TempFile file("");
    ReadFile read(file.name().c_str());
    ASSERT_EQ(read.error(), 0);
    EXPECT_EQ(read.regular_size(), 0u);
    char into[4];
    EXPECT_EQ(read.read(into, sizeof into), 0);
}

TEST(Platform, FailuresAreErrnoValues) {
    EXPECT_EQ(ReadFile("no/such/folder/file.json").error(), ENOENT);
    const std::filesystem::path missing = std::filesystem::temp_directory_path() / "vorn_platform_missing.json";
    EXPECT_EQ(ReadFile(missing.string().c_str()).error(), ENOENT);
    EXPECT_EQ(ReadFile(std::filesystem::temp_directory_path().string().c_str()).error(), EISDIR);
    EXPECT_EQ(ReadFile(".").error(), EISDIR);
}

TEST(Platform, MappedBlocksKeepTheirBytesWhenResized) {
    if (!kMapsBlocks) {
        EXPECT_EQ(map_block(1 << 20, false), nullptr);
        GTEST_SKIP() << "blocks come from the heap on this path";
    }
    const std::size_t small = std::size_t{1} << 20;
    const std::size_t large = std::size_t{80} << 20;
    auto* block = static_cast<unsigned char*>(map_block(small, false));
    ASSERT_NE(block, nullptr);
    for (std::size_t i = 0; i < small; ++i) block[i] = static_cast<unsigned char>(i * 7);
    block = static_cast<unsigned char*>(remap_block(block, small, large, true));
    ASSERT_NE(block, nullptr);
    bool kept = true;
    for (std::size_t i = 0; i < small; ++i) kept = kept && block[i] == static_cast<unsigned char>(i * 7);
    EXPECT_TRUE(kept);
    block[large - 1] = 1;
    block = static_cast<unsigned char*>(remap_block(block, large, small / 2, false));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[small / 2 - 1], static_cast<unsigned char>((small / 2 - 1) * 7));
    unmap_block(block, small / 2);
}

// Block memory behaves alike whether its large blocks are mappings or heap blocks.
TEST(Platform, BlockMemoryGrowsAndShrinksAcrossTheMappingThreshold) {
    std::size_t bytes = 16;
    auto* block = static_cast<std::uint32_t*>(block_memory::resize(nullptr, 0, bytes));
    ASSERT_NE(block, nullptr);
    block[0] = 12345;
    for (std::size_t next : {std::size_t{1} << 12, block_memory::kMappedFrom, std::size_t{1} << 22, std::size_t{100},
                             std::size_t{3} << 20, std::size_t{8}}) {
        const std::size_t words = (bytes < next ? bytes : next) / sizeof(std::uint32_t);
        for (std::size_t i = 1; i < words; ++i) block[i] = static_cast<std::uint32_t>(i * 2654435761u);
        block = static_cast<std::uint32_t*>(block_memory::resize(block, bytes, next));
        ASSERT_NE(block, nullptr) << next;
        EXPECT_EQ(block[0], 12345u) << next;
        bool kept = true;
        for (std::size_t i = 1; i < words; ++i) kept = kept && block[i] == static_cast<std::uint32_t>(i * 2654435761u);
        EXPECT_TRUE(kept) << bytes << " to " << next;
        bytes = next;
    }
    block_memory::release(block, bytes);
}

TEST(Platform, ProcessorsAndThreadSetup) {
    EXPECT_GE(available_processors(), 1u);
    int runs = 0;
    with_signals_blocked([](void* context) noexcept { ++*static_cast<int*>(context); }, &runs);
    EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace vorn::platform

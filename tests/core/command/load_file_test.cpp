#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/command/dispatch.hpp"
#include "core/command/load_file.hpp"

namespace vorn {
namespace {

std::string temp_file(const std::string& content) {
    static std::random_device random;
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vorn_load_file_" + std::to_string(random()));
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    EXPECT_TRUE(out.good());
    return path.string();
}

TEST(LoadFile, WrapsTheFileInALoadCommand) {
    const std::string path = temp_file("{\"oi\":[[1,2.0]]}");
    LoadFileCommand c = read_load_file_command(path.c_str(), 1 << 20);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.text(), "{\"cmd\":\"load\",\"dataset\":\n{\"oi\":[[1,2.0]]}\n}");
    EXPECT_EQ(c.file_lines(), 1u);
    HandleState state;
    EXPECT_EQ(dispatch_command(state, c.text()), "{\"ok\":true,\"loaded\":1}");
    std::remove(path.c_str());
}

TEST(LoadFile, StopsAfterTheFirstNulByte) {
    const std::string path = temp_file(std::string("{\"oi\":\n[\0 rest", 14));
    LoadFileCommand c = read_load_file_command(path.c_str(), 1 << 20);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.text(), std::string("{\"cmd\":\"load\",\"dataset\":\n{\"oi\":\n[\0\n}", 36));
    EXPECT_EQ(c.file_lines(), 2u);
    std::remove(path.c_str());
#if !defined(_WIN32)
    LoadFileCommand zero = read_load_file_command("/dev/zero", 1 << 20);
    ASSERT_TRUE(zero.ok());
    EXPECT_EQ(zero.size, 25u + 1u + 2u);
#endif
}

TEST(LoadFile, Failures) {
    const std::string path = temp_file("0123456789");
    EXPECT_EQ(read_load_file_command(path.c_str(), 9).read_error, EFBIG);
    EXPECT_TRUE(read_load_file_command(path.c_str(), 10).ok());
    std::remove(path.c_str());
    EXPECT_EQ(read_load_file_command("/nonexistent/file", 100).read_error, ENOENT);
    EXPECT_EQ(read_load_file_command(std::filesystem::temp_directory_path().string().c_str(), 100).read_error, EISDIR);
    const std::string bad = temp_file("{\"a\":\"\xFF\"}");
    EXPECT_EQ(read_load_file_command(bad.c_str(), 100).invalid_utf8_at, 6u);
    std::remove(bad.c_str());
}

}  // namespace
}  // namespace vorn

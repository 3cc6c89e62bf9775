// Inputs just over 2^32 bytes or elements: lengths are held in 64 bits, so nothing is cut to its
// remainder modulo 2^32 (a command name of 2^32 + 7 bytes once read as "version"). These need
// up to 13 GiB and skip on a smaller machine or under a sanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "core/command/dispatch.hpp"
#include "core/json/reader.hpp"

namespace vorn {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

bool room_for(std::uint64_t gib) {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:") return kib >= gib * 1024 * 1024;
    }
    return false;
}

#define SKIP_UNLESS_ROOM(gib)                                                                      \
    if (kSanitized || !room_for(gib)) GTEST_SKIP() << "needs " << (gib) << " GiB available and no sanitizer"

TEST(LengthBoundary, ACommandNameOverFourGiBIsNotCut) {
    SKIP_UNLESS_ROOM(13);
    std::string text = R"({"cmd":"version)";
    text.append(kFourGiB, 'X');
    text += R"("})";
    HandleState state;
    std::string reply = dispatch_command(state, text);
    EXPECT_EQ(reply.rfind(R"({"ok":false,"error":"bad spec: unknown cmd: versionXXXX)", 0), 0u);
    EXPECT_EQ(reply.size(), std::string(R"({"ok":false,"error":"bad spec: unknown cmd: version"})").size() + kFourGiB);
}

TEST(LengthBoundary, AStringOverFourGiBKeepsItsLength) {
    SKIP_UNLESS_ROOM(9);
    // (An array of 2^32 elements would need 32 GiB of nodes: beyond any machine this runs on.)
    std::string text = "[\"";
    text.append(kFourGiB + 1, 'y');
    text += "\"]";
    Result<json::Document> doc = json::read_document(text);
    ASSERT_TRUE(doc.ok());
    EXPECT_EQ(doc.value().root().as_array()[0].as_string().size(), kFourGiB + 1);
}

}  // namespace
}  // namespace vorn

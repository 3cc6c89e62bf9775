// The recorded market datasets, when present, read as trees of the expected shape.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"

namespace vorn::json {
namespace {

std::vector<std::filesystem::path> real_datasets() {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "../../../../shared/data/real";
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().string().ends_with(".dataset.json")) files.push_back(entry.path());
    }
    return files;
}

TEST(RealData, EveryRecordingReadsAndItsNumbersRoundTrip) {
    std::vector<std::filesystem::path> files = real_datasets();
    if (files.empty()) GTEST_SKIP() << "real market recordings are not available";
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Result<Document> doc = read_document(text);
        ASSERT_TRUE(doc.ok()) << path << ": " << doc.error().message;
        ASSERT_EQ(doc->root().kind(), Kind::Object) << path;
        // Walk the whole tree without recursion; every float written back reads the same.
        std::vector<Value> pending{doc->root()};
        std::size_t floats = 0;
        while (!pending.empty()) {
            Value value = pending.back();
            const Value* v = &value;
            pending.pop_back();
            if (v->kind() == Kind::Array) {
                for (Value e : v->as_array()) pending.push_back(e);
            } else if (v->kind() == Kind::Object) {
                for (const Member& m : v->as_object()) pending.push_back(m.value);
            } else if (v->kind() == Kind::Float && floats++ % 97 == 0) {
                ASSERT_TRUE(std::isfinite(v->as_float()));
                std::string written;
                write_float(written, v->as_float());
                Result<Document> again = read_document(written);
                ASSERT_TRUE(again.ok()) << written;
                EXPECT_EQ(again->root().as_float(), v->as_float()) << written;
            }
        }
        EXPECT_GT(floats, 0u) << path;
    }
}

}  // namespace
}  // namespace vorn::json

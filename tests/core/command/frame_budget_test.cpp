// The memory budget of one frame: the cells of all its panels together, and the length of its reply,
// are checked before anything of that size is allocated.
#include <gtest/gtest.h>

#include <string>

#include "core/command/dispatch.hpp"
#include "core/output/write_reply.hpp"

namespace vorn {
namespace {

// A book and funding spanning 10^9 ms: 40 ms buckets give 25,000,001 rows.
const char* const kLoad =
    R"({"cmd":"load","dataset":{"book":[[0,"snapshot",[[99.0,1.0]],[[101.0,1.0]]],[1000000000,"diff",[[99.0,2.0]],[]]],)"
    R"("funding":[[0,0.1],[1000000000,0.2]]}})";

std::string spec(const std::string& panels) {
    return R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"X","from_ts":null,"to_ts":null,"panels":[)" + panels +
           "]}}";
}

const char* const kHeatmap = R"({"kind":"book_heatmap","price_bin":1.0,"bucket_ms":40,"depth_levels":2})";
const char* const kDivergence = R"({"kind":"funding_oi_divergence","bucket_ms":40})";

TEST(FrameBudget, PanelsWithinTheirOwnLimitsAreRefusedTogetherWhenTheyExceedTheFrames) {
    HandleState state;
    ASSERT_EQ(dispatch_command(state, kLoad), R"({"ok":true,"loaded":4})");
    // 50,000,002 + 25,000,001 cells: each panel within 2^26, together above it.
    ASSERT_EQ(dispatch_command(state, spec(std::string(kHeatmap) + "," + kDivergence)), R"({"ok":true})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"frame"})"),
              R"({"ok":false,"error":"data: frame too large: its panels together exceed 67108864 cells"})");
    // A panel over its own limit still reports itself first.
    ASSERT_EQ(dispatch_command(state, spec(R"({"kind":"book_heatmap","price_bin":1.0,"bucket_ms":40,"depth_levels":3},)" +
                                           std::string(kDivergence))),
              R"({"ok":true})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"frame"})"), R"({"ok":false,"error":"data: book_heatmap grid too large"})");
    // The divergence alone is within the cells, but its 25,000,001 rows could be written as 2.4 GB.
    ASSERT_EQ(dispatch_command(state, spec(kDivergence)), R"({"ok":true})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"frame"})"),
              R"({"ok":false,"error":"data: frame reply too large: it could exceed 2147483648 bytes"})");
    // With ten times wider buckets both panels together are answered.
    ASSERT_EQ(dispatch_command(state, spec(R"({"kind":"book_heatmap","price_bin":1.0,"bucket_ms":400,"depth_levels":2},)"
                                           R"({"kind":"funding_oi_divergence","bucket_ms":400})")),
              R"({"ok":true})");
    std::string reply = dispatch_command(state, R"({"cmd":"frame_at","ts":1000000000})");
    EXPECT_EQ(reply.rfind(R"({"symbol":"X","cursor_ts":1000000000,"panels":[{"kind":"book_heatmap")", 0), 0u);
}

TEST(FrameBudget, AReplyThatCouldExceedTheReplyLimitIsRefused) {
    // A symbol of 360 MB could be written as 2.16 GB of escapes: over the 2 GiB reply limit.
    Frame frame{std::string(360'000'000, '\x01'), 0, {}};
    EXPECT_GT(frame_reply_bound(frame), kMaxReplyBytes);
    Frame small{"BTCUSDT", 0, {}};
    EXPECT_GE(frame_reply_bound(small), write_frame(small).size());

    HandleState state;
    std::string set_spec = R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":")";
    set_spec.append(360'000'000, 'S');
    set_spec += R"(","from_ts":null,"to_ts":null,"panels":[{"kind":"liquidation_map"}]}})";
    ASSERT_EQ(dispatch_command(state, set_spec), R"({"ok":true})");
    ASSERT_EQ(dispatch_command(state, R"({"cmd":"load","dataset":{"liquidations":[[1,100.0,1.0,"long"]]}})"),
              R"({"ok":true,"loaded":1})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"frame"})"),
              R"({"ok":false,"error":"data: frame reply too large: it could exceed 2147483648 bytes"})");
}

}  // namespace
}  // namespace vorn

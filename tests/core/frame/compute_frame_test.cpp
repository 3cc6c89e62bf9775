#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <ostream>
#include <limits>
#include <optional>
#include <vector>

#include "core/frame/frame.hpp"
#include "tests/core/frame/frame_test_support.hpp"

namespace vorn {
namespace {

using namespace testing_support;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Frame frame_or_fail(const VornSpec& spec, const Dataset& d, std::int64_t cursor) {
    Result<Frame> r = compute_frame(spec, d, cursor);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().display());
    return r.ok() ? std::move(r).value() : Frame{};
}

const PanelData::Footprint& as_footprint(const PanelData& p) { return std::get<PanelData::Footprint>(p.value); }

// Trades one per price, so a footprint with price_bin 1 lists exactly the prices in the window.
Dataset trades_at(const std::vector<std::int64_t>& stamps) {
    Dataset d;
    for (std::int64_t ts : stamps) d.trades.push_back({ts, static_cast<double>(ts), 1.0, TradeSide::Buy});
    return d;
}

struct CursorCase {
    const char* name;
    std::optional<std::int64_t> from_ts;
    std::optional<std::int64_t> to_ts;
    std::int64_t cursor;
    std::int64_t cursor_ts;           // the window end reported by the frame
    std::vector<double> price_bins;   // the trades inside the window
};

void PrintTo(const CursorCase& c, std::ostream* os) { *os << c.name; }

class FrameWindow : public ::testing::TestWithParam<CursorCase> {};

TEST_P(FrameWindow, CursorAndWindow) {
    const CursorCase& c = GetParam();
    Dataset d = trades_at({10, 20, 30, 40});
    Frame f = frame_or_fail(make_spec({footprint_panel(1.0)}, c.from_ts, c.to_ts), d, c.cursor);
    EXPECT_EQ(f.symbol, "SYM");
    EXPECT_EQ(f.cursor_ts, c.cursor_ts);
    ASSERT_EQ(f.panels.size(), 1u);
    EXPECT_EQ(as_footprint(f.panels[0]).price_bins, c.price_bins);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameWindow,
    ::testing::Values(
        CursorCase{"cursor_before_every_record", std::nullopt, std::nullopt, 5, 5, {}},
        CursorCase{"cursor_on_a_record_includes_it", std::nullopt, std::nullopt, 30, 30, {10, 20, 30}},
        CursorCase{"cursor_after_every_record", std::nullopt, std::nullopt, 1000, 1000, {10, 20, 30, 40}},
        CursorCase{"from_ts_on_a_record_includes_it", 20, std::nullopt, 30, 30, {20, 30}},
        CursorCase{"cursor_below_from_ts_is_still_reported", 25, std::nullopt, 15, 15, {}},
        CursorCase{"to_ts_below_cursor_lowers_the_end", std::nullopt, 20, 40, 20, {10, 20}},
        CursorCase{"to_ts_above_cursor_keeps_the_cursor", std::nullopt, 35, 30, 30, {10, 20, 30}},
        CursorCase{"to_ts_equal_to_cursor", std::nullopt, 30, 30, 30, {10, 20, 30}},
        CursorCase{"to_ts_before_every_record", std::nullopt, 5, 40, 5, {}},
        CursorCase{"from_and_to_on_records", 20, 30, kMax, 30, {20, 30}},
        CursorCase{"from_equals_to", 30, 30, 40, 30, {30}},
        CursorCase{"extreme_cursor_low", std::nullopt, std::nullopt, kMin, kMin, {}},
        CursorCase{"extreme_cursor_high", kMin, std::nullopt, kMax, kMax, {10, 20, 30, 40}}),
    [](const ::testing::TestParamInfo<CursorCase>& info) { return std::string(info.param.name); });

TEST(ComputeFrame, WorkedFootprintExample) {
    Dataset d;
    d.trades = {{100, 100.2, 1.0, TradeSide::Buy}, {500, 100.7, 2.0, TradeSide::Sell},
                {1000, 101.3, 0.5, TradeSide::Buy}};
    Frame f = frame_or_fail(VornSpec{"ref", "S", std::nullopt, std::nullopt, {footprint_panel(1.0)}}, d, 1000);
    EXPECT_EQ(f.symbol, "S");
    EXPECT_EQ(f.cursor_ts, 1000);
    ASSERT_EQ(f.panels.size(), 1u);
    const auto& fp = as_footprint(f.panels[0]);
    EXPECT_EQ(fp.price_bins, (std::vector<double>{100.0, 101.0}));
    EXPECT_EQ(fp.buy_vol, (std::vector<double>{1.0, 0.5}));
    EXPECT_EQ(fp.sell_vol, (std::vector<double>{2.0, 0.0}));
}

// A frame past "to_ts" is the frame at "to_ts", panel for panel.
TEST(ComputeFrame, CursorPastToTsEqualsFrameAtToTs) {
    Dataset d = sample_market(60);
    VornSpec spec = make_spec({footprint_panel(0.5), heatmap_panel(0.25, 20000, 7), liquidation_panel(1.0),
                               divergence_panel(15000)},
                              std::nullopt, 200000);
    Frame late = frame_or_fail(spec, d, 400000);
    Frame at = frame_or_fail(spec, d, 200000);
    EXPECT_EQ(late.cursor_ts, 200000);
    ASSERT_EQ(late.panels.size(), at.panels.size());
    for (std::size_t i = 0; i < at.panels.size(); ++i) EXPECT_TRUE(same_panel(late.panels[i], at.panels[i])) << i;
}

TEST(ComputeFrame, InvalidSpecFailsWithItsValidationError) {
    Dataset d = trades_at({1});
    struct Case {
        VornSpec spec;
        const char* display;
    };
    std::vector<Case> cases = {
        {VornSpec{"ref", "", std::nullopt, std::nullopt, {footprint_panel(1.0)}}, "bad spec: symbol must not be empty"},
        {VornSpec{"ref", "S", std::nullopt, std::nullopt, {}}, "bad spec: panels must not be empty"},
        {VornSpec{"ref", "S", 5, 4, {footprint_panel(1.0)}}, "bad spec: from_ts must be <= to_ts"},
        {VornSpec{"ref", "S", std::nullopt, std::nullopt, {footprint_panel(1.0), footprint_panel(0.0)}},
         "bad spec: footprint price_bin must be a positive number"},
    };
    for (const Case& c : cases) {
        Result<Frame> r = compute_frame(c.spec, d, 10);
        ASSERT_FALSE(r.ok()) << c.display;
        EXPECT_EQ(r.error().kind, ErrorKind::BadSpec);
        EXPECT_EQ(r.error().display(), c.display);
    }
}

// A panel's size limit is the frame's failure; with several failing panels the first in spec
// order wins, whichever thread finished first.
TEST(ComputeFrame, FirstPanelFailureInSpecOrderIsTheFrameError) {
    Dataset d;
    d.funding = {{kMin, 0.1}, {kMax, 0.2}};
    std::uint64_t first = 0;
    d.levels = {{99.0, 1.0}, {101.0, 1.0}};
    d.book = {{kMin, first, 1, 1, BookEventKind::Snapshot}, {kMax, first, 1, 1, BookEventKind::Diff}};
    VornSpec spec = make_spec({footprint_panel(1.0), liquidation_panel(1.0), divergence_panel(1),
                               footprint_panel(2.0), heatmap_panel(1.0, 1, 5)});
    for (int round = 0; round < 20; ++round) {
        Result<Frame> r = compute_frame(spec, d, kMax);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().display(), "data: funding_oi_divergence has too many buckets");
    }
}

TEST(ComputeFrame, SameKindTwiceUsesEachPanelsOwnParameters) {
    Dataset d = sample_market(40);
    VornPanel fine = footprint_panel(0.25);
    VornPanel coarse = footprint_panel(2.0);
    Frame both = frame_or_fail(make_spec({fine, coarse}), d, 1000000);
    Frame only_fine = frame_or_fail(make_spec({fine}), d, 1000000);
    Frame only_coarse = frame_or_fail(make_spec({coarse}), d, 1000000);
    ASSERT_EQ(both.panels.size(), 2u);
    EXPECT_TRUE(same_panel(both.panels[0], only_fine.panels[0]));
    EXPECT_TRUE(same_panel(both.panels[1], only_coarse.panels[0]));
    EXPECT_FALSE(same_panel(both.panels[0], both.panels[1]));
}

// Many panels of every kind, computed in parallel over and over: each result sits at its spec
// position and equals the same panel computed alone on the calling thread.
std::vector<VornPanel> many_panels() {
    std::vector<VornPanel> panels;
    for (int i = 0; i < 48; ++i) {
        double bin = 0.25 * (1 + i % 7);
        switch (i % 4) {
            case 0: panels.push_back(footprint_panel(bin)); break;
            case 1: panels.push_back(heatmap_panel(bin, 5000 * (1 + i % 5), static_cast<std::uint32_t>(1 + i % 9))); break;
            case 2: panels.push_back(liquidation_panel(bin)); break;
            default: panels.push_back(divergence_panel(3000 * (1 + i % 6))); break;
        }
    }
    return panels;
}

bool parallel_frames_match_single_panels(int rounds) {
    Dataset d = sample_market(80);
    std::vector<VornPanel> panels = many_panels();
    std::vector<PanelData> alone;
    for (const VornPanel& p : panels) {
        Result<Frame> r = compute_frame(make_spec({p}, 14000), d, 500000);
        if (!r.ok() || r->panels.size() != 1) return false;
        alone.push_back(std::move(r->panels[0]));
    }
    VornSpec spec = make_spec(panels, 14000);
    for (int round = 0; round < rounds; ++round) {
        Result<Frame> r = compute_frame(spec, d, 500000);
        if (!r.ok() || r->panels.size() != panels.size()) return false;
        for (std::size_t i = 0; i < panels.size(); ++i) {
            if (!same_panel(r->panels[i], alone[i])) return false;
        }
    }
    return true;
}

TEST(ComputeFrame, ManyPanelsComeBackInSpecOrder) {
    Dataset d = sample_market(10);
    std::vector<VornPanel> panels = many_panels();
    Frame f = frame_or_fail(make_spec(panels), d, 1000000);
    ASSERT_EQ(f.panels.size(), panels.size());
    for (std::size_t i = 0; i < panels.size(); ++i) EXPECT_EQ(f.panels[i].value.index(), panels[i].value.index()) << i;
    EXPECT_TRUE(parallel_frames_match_single_panels(25));
}

#if !defined(_WIN32)  // no fork() on Windows
TEST(ComputeFrame, FramesInAForkedChild) {
    EXPECT_TRUE(parallel_frames_match_single_panels(2));  // the parent's pool is running
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(120);
        _exit(parallel_frames_match_single_panels(5) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#endif

}  // namespace
}  // namespace vorn

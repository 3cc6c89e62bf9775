// Memory running out inside a panel task, on whichever thread runs it, ends as the frame's error;
// it never escapes a worker thread (which would end the process).
#include <gtest/gtest.h>

#include <atomic>

#include "core/frame/frame.hpp"
#include "tests/core/frame/frame_test_support.hpp"
#include "tests/core/support/replaced_new.hpp"

namespace {

// While armed, every allocation of at least this many bytes fails, on every thread.
std::atomic<std::size_t> fail_from_size{0};

}  // namespace

bool vorn::testing_support::should_fail(std::size_t size) {
    std::size_t limit = fail_from_size.load(std::memory_order_relaxed);
    return limit != 0 && size >= limit;
}

namespace vorn {
namespace {

using namespace testing_support;

TEST(ComputeFrameOutOfMemory, PanelAllocationFailureIsTheFrameError) {
    // 200000 trades in as many bins: every footprint needs lists of well over 1 MiB.
    Dataset d;
    d.trades.reserve(200000);
    for (int i = 0; i < 200000; ++i) d.trades.push_back({i, static_cast<double>(i), 1.0, TradeSide::Buy});
    VornSpec spec = make_spec({liquidation_panel(1.0), footprint_panel(1.0), footprint_panel(1.0),
                               footprint_panel(1.0), footprint_panel(1.0), divergence_panel(1000)});

    for (int round = 0; round < 5; ++round) {
        fail_from_size.store(std::size_t{1} << 20);
        Result<Frame> r = compute_frame(spec, d, 1000000);
        fail_from_size.store(0);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().display(), "data: out of memory");
    }

    // The pool is still whole afterwards.
    Result<Frame> r = compute_frame(spec, d, 1000000);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(std::get<PanelData::Footprint>(r->panels[1].value).price_bins.size(), 200000u);
}

}  // namespace
}  // namespace vorn

// Allocation failure, one allocation at a time: for load, set_spec and frame commands on a
// mid-size dataset, the 1st, 2nd, ... allocation fails in turn until the command runs without
// reaching the failing one. Each command then either answers "data: out of memory" and leaves the
// object as it was (its later replies byte-identical to those of an object that never ran the
// command), or, where the failed allocation has a fallback, succeeds exactly as without failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "core/command/dispatch.hpp"
#include "tests/core/support/replaced_new.hpp"

namespace {

// Allocations counted while armed; the one numbered `fail_at` (from 0) throws.
std::atomic<bool> armed{false};
std::atomic<std::int64_t> allocations{0};
std::atomic<std::int64_t> fail_at{-1};

}  // namespace

bool vorn::testing_support::should_fail(std::size_t) {
    return armed.load(std::memory_order_relaxed) &&
           allocations.fetch_add(1, std::memory_order_relaxed) == fail_at.load(std::memory_order_relaxed);
}

namespace vorn {
namespace {

const char* const kOutOfMemory = R"({"ok":false,"error":"data: out of memory"})";

// Appends the decimal text of each piece, so no temporary strings are chained.
template <class... Pieces>
void add(std::string& out, const Pieces&... pieces) {
    auto one = [&out](const auto& piece) {
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(piece)>>) {
            out += std::to_string(piece);
        } else {
            out += piece;
        }
    };
    (one(pieces), ...);
}

// A mid-size market: every list, a book of snapshots and diffs, unsorted times.
std::string load_command(int scale, int shift) {
    std::string d = R"({"cmd":"load","dataset":{"candles":[)";
    for (int i = 0; i < scale; ++i) add(d, i ? "," : "", "[", 60000 * i + shift, ",100,101,99,100.5,12.5]");
    d += R"(],"trades":[)";
    for (int i = 0; i < 8 * scale; ++i) {
        add(d, i ? "," : "", "[", (7919 * i) % (60000 * scale) + shift, ",", 95 + i % 11, ".25,0.", 1 + i % 9, ",\"",
            i % 3 ? "buy" : "sell", "\"]");
    }
    d += R"(],"book":[)";
    for (int i = 0; i < 4 * scale; ++i) {
        add(d, i ? "," : "", "[", 15000 * i + shift, ",\"", i % 10 ? "diff" : "snapshot", "\",[[", 99 - i % 4, ",1.",
            i % 7, "],[97,0]],[[", 101 + i % 3, ",2]]]");
    }
    d += R"(],"funding":[[0,0.0001],[120000,0.0002]],"oi":[[0,5000],[90000,5100.5]],"liquidations":[)";
    for (int i = 0; i < scale; ++i) {
        add(d, i ? "," : "", "[", 30000 * i + shift + 7, ",100,0.5,\"", i % 2 ? "long" : "short", "\"]");
    }
    d += "]}}";
    return d;
}

const char* const kSpec =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"X","from_ts":null,"to_ts":null,"panels":[)"
    R"({"kind":"footprint","price_bin":1.0,"bucket_ms":60000},)"
    R"({"kind":"book_heatmap","price_bin":1.0,"bucket_ms":10000,"depth_levels":8},)"
    R"({"kind":"liquidation_map","price_bin":5.0},{"kind":"funding_oi_divergence","bucket_ms":30000}]}})";
const char* const kOtherSpec =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"Y","from_ts":null,"to_ts":null,"panels":[)"
    R"({"kind":"book_heatmap","price_bin":0.5,"bucket_ms":5000,"depth_levels":4}]}})";

// The replies that tell one object's state from another's.
std::vector<std::string> observe(HandleState& state) {
    return {dispatch_command(state, R"({"cmd":"bounds"})"), dispatch_command(state, R"({"cmd":"frame"})"),
            dispatch_command(state, R"({"cmd":"frame_at","ts":200000})")};
}

struct Case {
    const char* name;
    std::vector<std::string> setup;  // commands that make the object before the one under test
    std::string command;
};

class AllocationFailure : public ::testing::TestWithParam<Case> {};

TEST_P(AllocationFailure, EveryFailedAllocationLeavesTheObjectAsItWas) {
    const Case& c = GetParam();
    auto make = [&c] {
        HandleState state;
        for (const std::string& command : c.setup) dispatch_command(state, command);
        return state;
    };
    HandleState control = make();
    std::vector<std::string> before = observe(control);
    HandleState reference = make();
    std::string success = dispatch_command(reference, c.command);
    ASSERT_NE(success, kOutOfMemory);
    std::vector<std::string> after = observe(reference);

    std::int64_t failures = 0;
    for (std::int64_t n = 0;; ++n) {
        HandleState state = make();
        allocations = 0;
        fail_at = n;
        armed = true;
        std::string reply = dispatch_command(state, c.command);
        armed = false;
        if (allocations <= n) {  // nothing failed: the command ran to its end
            EXPECT_EQ(reply, success);
            EXPECT_EQ(observe(state), after);
            break;
        }
        if (reply != kOutOfMemory) {
            // Some allocations have a fallback (a sort's scratch buffer, a worker thread): the
            // command then completes as usual.
            ASSERT_EQ(reply, success) << c.name << ": allocation " << n;
            ASSERT_EQ(observe(state), after) << c.name << ": allocation " << n;
            continue;
        }
        ++failures;
        ASSERT_EQ(observe(state), before) << c.name << ": allocation " << n;
        ASSERT_LT(n, 1000000) << "the command never finished";
    }
    RecordProperty("failed_allocations", std::to_string(failures));
    std::printf("%s: %lld allocations failed in turn, each answered out of memory\n", c.name,
                static_cast<long long>(failures));
    EXPECT_GT(failures, 3);
}

INSTANTIATE_TEST_SUITE_P(
    EachCommand, AllocationFailure,
    ::testing::Values(
        Case{"load into an empty object", {}, load_command(24, 0)},
        Case{"load over a dataset and spec", {kSpec, load_command(24, 0)}, load_command(16, 5000)},
        // A repeated key sends the load through the value tree rather than the direct decoder.
        Case{"load read as a tree", {kSpec, load_command(24, 0)}, R"({"cmd":"load",)" + load_command(16, 5000).substr(1)},
        Case{"set_spec over a spec", {kSpec, load_command(24, 0)}, kOtherSpec},
        Case{"frame of four panels", {kSpec, load_command(24, 0)}, R"({"cmd":"frame_at","ts":600000})"},
        // Frames that follow each other carry work: a failure leaves the carry as it was.
        Case{"frame continuing a playback",
             {kSpec, load_command(24, 0), R"({"cmd":"frame_at","ts":300000})", R"({"cmd":"frame_at","ts":400000})"},
             R"({"cmd":"frame_at","ts":600000})"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// Records after the end of load_command(24, 0), enough that every list must grow to take them.
Dataset appended_records() {
    Dataset d;
    const std::int64_t start = 60000 * 24;
    for (int i = 0; i < 200; ++i) {
        std::int64_t ts = start + 100 * i;
        d.candles.push_back(Candle{ts, 100, 101, 99, 100.5, 3});
        d.trades.push_back(Trade{ts, 100.25, 0.5, i % 2 ? TradeSide::Buy : TradeSide::Sell});
        d.book.push_back(BookEvent{ts, d.levels.size(), 2, 1, i % 50 ? BookEventKind::Diff : BookEventKind::Snapshot});
        d.levels.push_back(PriceLevel{99, 1.5});
        d.levels.push_back(PriceLevel{98, 0});
        d.levels.push_back(PriceLevel{101, 2});
        d.funding.push_back(FundingEvent{ts, 0.0001});
        d.oi.push_back(OiEvent{ts, 5000.0 + i});
        d.liquidations.push_back(LiquidationEvent{ts, 100, 0.5, LiquidationSide::Long});
    }
    return d;
}

// An append that runs out of memory (std::bad_alloc, turned into MemoryError at the boundary)
// leaves every list as it was.
TEST(AllocationFailureOfAppend, EveryFailedAllocationLeavesTheObjectAsItWas) {
    auto make = [] {
        HandleState state;
        dispatch_command(state, kSpec);
        dispatch_command(state, load_command(24, 0));
        return state;
    };
    const Dataset added = appended_records();
    HandleState control = make();
    const std::vector<std::string> before = observe(control);
    HandleState reference = make();
    ASSERT_TRUE(reference.append(added).ok());
    const std::vector<std::string> after = observe(reference);
    ASSERT_NE(before, after);

    std::int64_t failures = 0;
    for (std::int64_t n = 0;; ++n) {
        HandleState state = make();
        allocations = 0;
        fail_at = n;
        armed = true;
        bool failed = false;
        try {
            Result<std::uint64_t> result = state.append(added);
            EXPECT_TRUE(result.ok());
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        armed = false;
        if (!failed) {
            EXPECT_LE(allocations, n + 1);
            EXPECT_EQ(observe(state), after);
            break;
        }
        ++failures;
        ASSERT_EQ(observe(state), before) << "allocation " << n;
        ASSERT_LT(n, 1000) << "the append never finished";
    }
    EXPECT_GE(failures, 7);  // one growth of each of the six lists and of the level pool
}

}  // namespace
}  // namespace vorn

// Frames over the dataset's price numbers and its levels grouped by price, checked against the
// same frames computed with the numbers alone and without either (the ordered-side replay and
// the hash-map search of the closing book): random books with
// prices on and off a tick grid, both zeros, NaN and infinite prices, negative and NaN
// quantities, snapshots before and inside windows, loads and appends, windows and grids moved.
// Every JSON reply and, with detail, every list of every panel must be the same bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/command/dispatch.hpp"

namespace vorn {
namespace {

struct Draw {
    std::mt19937_64 rng;
    int percent() { return static_cast<int>(rng() % 100); }
    int below(int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); }
};

// A price near `mid`: mostly on a 0.1 tick, sometimes anywhere, now and then a special value.
double price_near(Draw& d, double mid) {
    const int roll = d.percent();
    if (roll < 2) {
        const double specials[] = {0.0, -0.0, std::nan(""), -std::nan(""), std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(), 1e-300, -3.5};
        return specials[d.below(8)];
    }
    const double ticks = std::round(mid * 10.0) + d.below(41) - 20;
    if (roll < 12) return ticks / 10.0 + (d.below(1000) - 500) * 1e-4;
    return ticks / 10.0;
}

double quantity(Draw& d) {
    const int roll = d.percent();
    if (roll < 25) return roll < 3 ? -0.0 : 0.0;
    if (roll < 28) return -(0.1 + d.below(50) * 0.37);
    if (roll < 29) return std::nan("");
    return 0.001 * (1 + d.below(4000));
}

// Book events (with trades and a candle or two) from `start` for `millis`.
Dataset market(Draw& d, std::int64_t start, int millis, double& mid) {
    Dataset out;
    for (std::int64_t t = start; t < start + millis; t += 20 + d.below(180)) {
        mid += (d.percent() - 49.5) * 0.02;
        const bool snapshot = d.percent() < 2;
        BookEvent e{t, out.levels.size(), 0, 0, snapshot ? BookEventKind::Snapshot : BookEventKind::Diff};
        const int per_side = snapshot ? 20 + d.below(40) : 1 + d.below(d.percent() < 10 ? 60 : 6);
        const bool sorted = snapshot || d.percent() < 30;
        for (int side = 0; side < 2; ++side) {
            std::vector<PriceLevel> levels;
            for (int i = 0; i < per_side; ++i) {
                const double p = sorted ? std::round(mid * 10.0) / 10.0 + (side == 0 ? -0.1 * (i + 1) : 0.1 * (i + 1))
                                        : price_near(d, mid);
                levels.push_back(PriceLevel{p, snapshot && d.percent() < 90 ? 0.5 + d.below(100) * 0.01 : quantity(d)});
            }
            for (const PriceLevel& level : levels) out.levels.push_back(level);
            (side == 0 ? e.bid_count : e.ask_count) = static_cast<std::uint32_t>(levels.size());
        }
        out.book.push_back(e);
        if (d.percent() < 30) out.trades.push_back(Trade{t, mid + (d.percent() - 50) * 0.01, 0.5, TradeSide::Buy});
    }
    out.candles.push_back(Candle{start, mid, mid + 1, mid - 1, mid, 3.0});
    return out;
}

template <class List>
void bytes_of(std::string& out, const List& list) {
    out += std::to_string(list.size()) + ":";
    out.append(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(list[0]));
}

std::string frame_bits(const Result<Frame>& frame) {
    if (!frame) return "error " + frame.error().display();
    std::string out = frame->symbol + std::to_string(frame->cursor_ts);
    for (const PanelData& panel : frame->panels) {
        if (const auto* p = std::get_if<PanelData::BookHeatmap>(&panel.value)) {
            bytes_of(out, p->time), bytes_of(out, p->price), bytes_of(out, p->intensity);
            bytes_of(out, p->bid_intensity), bytes_of(out, p->ask_intensity);
            bytes_of(out, p->last_price), bytes_of(out, p->mid);
        }
    }
    return out;
}

std::string spec(Draw& d, std::int64_t first, std::int64_t last) {
    const double bins[] = {0.1, 0.25, 0.05, 1.0, 0.3};
    const int buckets[] = {100, 250, 1000, 3000};
    std::string s = R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"X","from_ts":)";
    s += d.percent() < 15 ? std::string("null") : std::to_string(first + d.below(static_cast<int>(last - first + 1)));
    s += R"(,"to_ts":null,"panels":[)";
    for (int i = 0; i < 2; ++i) {
        s += i ? "," : "";
        s += R"({"kind":"book_heatmap","price_bin":)" + std::to_string(bins[d.below(5)]) +
             R"(,"bucket_ms":)" + std::to_string(buckets[d.below(4)]) +
             R"(,"depth_levels":)" + std::to_string(1 + d.below(40)) + "}";
    }
    return s + "]}}";
}

class NumberedPrices : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(NumberedPrices, FramesEqualThoseWithoutNumbers) {
    Draw d{std::mt19937_64(GetParam())};
    HandleState grouped, numbered, plain;
    grouped.regroup_slack = 0;  // rebuilt as soon as appends reach a quarter of what it covers
    // Each object keeps what its name says, after every load and append.
    auto strip = [&] {
        numbered.price_writes.reset();
        plain.price_writes.reset();
        plain.price_ids.reset();
        ASSERT_NE(grouped.price_writes, nullptr);
    };
    std::uint64_t built_over = 0;
    int rebuilt = 0;
    double mid = 100.0;
    std::int64_t end = 0;
    int compared = 0;
    for (int step = 0; step < 120; ++step) {
        const int roll = d.percent();
        if (step == 0 || roll < 8) {
            mid = 100.0;
            const Dataset loaded = market(d, 0, 20000 + d.below(20000), mid);
            end = loaded.book.back().ts;
            grouped.load(Dataset(loaded));
            numbered.load(Dataset(loaded));
            plain.load(Dataset(loaded));
            strip();
        } else if (roll < 30) {
            const Dataset added = market(d, end + 1, 500 + d.below(5000), mid);
            end = added.book.back().ts;
            ASSERT_TRUE(grouped.append(added).ok());
            ASSERT_TRUE(numbered.append(added).ok());
            ASSERT_TRUE(plain.append(added).ok());
            strip();
            // Appends are read level by level until they outgrow the grouping, which is then rebuilt.
            if (grouped.price_writes->levels() != built_over) ++rebuilt;
        }
        built_over = grouped.price_writes->levels();
        if (step == 0 || d.percent() < 40) {
            const std::string s = spec(d, -1000, end);
            ASSERT_EQ(dispatch_command(grouped, s), dispatch_command(plain, s));
            ASSERT_EQ(dispatch_command(numbered, s), dispatch_command(plain, s));
        }
        const std::int64_t cursor = d.below(static_cast<int>(end + 2000));
        if (d.percent() < 50) {
            const std::string command = R"({"cmd":"frame_at","ts":)" + std::to_string(cursor) + "}";
            const std::string want = dispatch_command(plain, command);
            ASSERT_EQ(dispatch_command(grouped, command), want) << "step " << step;
            ASSERT_EQ(dispatch_command(numbered, command), want) << "step " << step;
        } else {
            const PanelOptions options{d.percent() < 50};
            const std::string want = frame_bits(plain.frame_at(cursor, options));
            ASSERT_EQ(frame_bits(grouped.frame_at(cursor, options)), want) << "step " << step;
            ASSERT_EQ(frame_bits(numbered.frame_at(cursor, options)), want) << "step " << step;
        }
        ++compared;
    }
    EXPECT_EQ(compared, 120);
    EXPECT_GT(rebuilt, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, NumberedPrices, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u));

}  // namespace
}  // namespace vorn

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "core/json/writer.hpp"
#include "core/output/write_reply.hpp"

namespace vorn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

PanelData footprint(std::vector<double> bins, std::vector<double> buy, std::vector<double> sell) {
    return PanelData{PanelData::Footprint{std::move(bins), std::move(buy), std::move(sell)}};
}

PanelData heatmap(std::vector<std::int64_t> time, std::vector<double> price, std::vector<double> cells) {
    PanelData::BookHeatmap heatmap;
    heatmap.time = std::move(time);
    heatmap.price = std::move(price);
    heatmap.intensity.assign(cells.begin(), cells.end());
    return PanelData{std::move(heatmap)};
}

PanelData liquidations(std::vector<LiquidationMapEvent> events) {
    return PanelData{PanelData::LiquidationMap{std::move(events)}};
}

PanelData divergence(std::vector<std::int64_t> time, std::vector<double> funding, std::vector<double> oi,
                     std::vector<double> price) {
    return PanelData{
        PanelData::FundingOiDivergence{std::move(time), std::move(funding), std::move(oi), std::move(price)}};
}

struct FrameCase {
    const char* name;
    Frame frame;
    std::string expected;
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class WriteFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(WriteFrame, WritesTheExactText) { EXPECT_EQ(write_frame(GetParam().frame), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Layouts, WriteFrame,
    ::testing::Values(
        FrameCase{"worked_footprint",
                  Frame{"S", 1000, {footprint({100.0, 101.0}, {1.0, 0.5}, {2.0, 0.0})}},
                  R"({"symbol":"S","cursor_ts":1000,"panels":[{"kind":"footprint","price_bins":[100.0,101.0],)"
                  R"("buy_vol":[1.0,0.5],"sell_vol":[2.0,0.0]}]})"},
        FrameCase{"empty_footprint",
                  Frame{"S", 5, {footprint({}, {}, {})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"footprint","price_bins":[],"buy_vol":[],)"
                  R"("sell_vol":[]}]})"},
        FrameCase{"empty_heatmap",
                  Frame{"S", 5, {heatmap({}, {}, {})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"book_heatmap","time":[],"price":[],)"
                  R"("intensity":[]}]})"},
        FrameCase{"heatmap_rows_of_price_width",
                  Frame{"S", 5, {heatmap({0, 60000}, {99.0, 100.0, 101.0}, {0.0, 2.5, -0.0, 2.0, 3.0, -0.0})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"book_heatmap","time":[0,60000],)"
                  R"("price":[99.0,100.0,101.0],"intensity":[[0.0,2.5,-0.0],[2.0,3.0,-0.0]]}]})"},
        FrameCase{"heatmap_single_cell",
                  Frame{"S", 5, {heatmap({-1000}, {7.0}, {1.0})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"book_heatmap","time":[-1000],)"
                  R"("price":[7.0],"intensity":[[1.0]]}]})"},
        FrameCase{"non_finite_floats_are_null_in_place",
                  Frame{"S", 5, {footprint({kNaN, kInf, 2.5}, {-kInf}, {-0.0})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"footprint","price_bins":[null,null,2.5],)"
                  R"("buy_vol":[null],"sell_vol":[-0.0]}]})"},
        FrameCase{"liquidation_sides",
                  Frame{"S", 5,
                        {liquidations({{3, 120.0, 1.0, LiquidationSide::Long},
                                       {5, 90.0, 2.0, LiquidationSide::Long},
                                       {5, 100.0, 1.5, LiquidationSide::Short}})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"liquidation_map","events":[)"
                  R"({"ts":3,"price_bin":120.0,"qty":1.0,"side":"long"},)"
                  R"({"ts":5,"price_bin":90.0,"qty":2.0,"side":"long"},)"
                  R"({"ts":5,"price_bin":100.0,"qty":1.5,"side":"short"}]}]})"},
        FrameCase{"liquidation_non_finite",
                  Frame{"S", 5, {liquidations({{-7, kNaN, -kInf, LiquidationSide::Short}})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"liquidation_map","events":[)"
                  R"({"ts":-7,"price_bin":null,"qty":null,"side":"short"}]}]})"},
        FrameCase{"empty_liquidations",
                  Frame{"S", 5, {liquidations({})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"liquidation_map","events":[]}]})"},
        FrameCase{"divergence",
                  Frame{"S", 120000,
                        {divergence({0, 60000, 120000}, {0.0001, 0.0001, 0.0001}, {0.0, 0.0, 0.0},
                                    {100.0, 100.0, 101.0})}},
                  R"({"symbol":"S","cursor_ts":120000,"panels":[{"kind":"funding_oi_divergence",)"
                  R"("time":[0,60000,120000],"funding":[0.0001,0.0001,0.0001],"oi":[0.0,0.0,0.0],)"
                  R"("price":[100.0,100.0,101.0]}]})"},
        FrameCase{"empty_divergence",
                  Frame{"S", 5, {divergence({}, {}, {}, {})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"funding_oi_divergence","time":[],)"
                  R"("funding":[],"oi":[],"price":[]}]})"},
        // The writer writes what each list holds, even when the lists disagree in length.
        FrameCase{"unequal_lists",
                  Frame{"S", 5, {divergence({1, 2}, {0.5}, {}, {1.0, 2.0, 3.0})}},
                  R"({"symbol":"S","cursor_ts":5,"panels":[{"kind":"funding_oi_divergence","time":[1,2],)"
                  R"("funding":[0.5],"oi":[],"price":[1.0,2.0,3.0]}]})"},
        FrameCase{"several_panels_in_order",
                  Frame{"BTC", 7,
                        {liquidations({}), footprint({1.0}, {2.0}, {3.0}), heatmap({}, {}, {}),
                         footprint({}, {}, {})}},
                  R"({"symbol":"BTC","cursor_ts":7,"panels":[{"kind":"liquidation_map","events":[]},)"
                  R"({"kind":"footprint","price_bins":[1.0],"buy_vol":[2.0],"sell_vol":[3.0]},)"
                  R"({"kind":"book_heatmap","time":[],"price":[],"intensity":[]},)"
                  R"({"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]}]})"},
        FrameCase{"no_panels", Frame{"S", 0, {}}, R"({"symbol":"S","cursor_ts":0,"panels":[]})"},
        FrameCase{"symbol_escapes",
                  Frame{"a\"b\\c\nd\x01", 1, {liquidations({})}},
                  R"({"symbol":"a\"b\\c\nd\u0001","cursor_ts":1,"panels":[{"kind":"liquidation_map","events":[]}]})"},
        FrameCase{"extreme_timestamps",
                  Frame{"S", std::numeric_limits<std::int64_t>::min(),
                        {divergence({std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()},
                                    {}, {}, {})}},
                  R"({"symbol":"S","cursor_ts":-9223372036854775808,"panels":[{"kind":"funding_oi_divergence",)"
                  R"("time":[-9223372036854775808,9223372036854775807],"funding":[],"oi":[],"price":[]}]})"}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

struct BoundsCase {
    const char* name;
    TimeBounds bounds;
    std::string expected;
};

void PrintTo(const BoundsCase& c, std::ostream* os) { *os << c.name; }

class WriteBounds : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(WriteBounds, WritesTheExactText) { EXPECT_EQ(write_bounds(GetParam().bounds), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Values, WriteBounds,
    ::testing::Values(BoundsCase{"worked", {10, 20, 3}, R"({"from_ts":10,"to_ts":20,"count":3})"},
                      BoundsCase{"single_negative", {-5, -5, 1}, R"({"from_ts":-5,"to_ts":-5,"count":1})"},
                      BoundsCase{"extremes",
                                 {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                                  std::numeric_limits<std::uint64_t>::max()},
                                 R"({"from_ts":-9223372036854775808,"to_ts":9223372036854775807,)"
                                 R"("count":18446744073709551615})"}),
    [](const ::testing::TestParamInfo<BoundsCase>& info) { return std::string(info.param.name); });

// A reply far beyond the initial buffer comes out whole: every row and cell in its place.
TEST(WriteFrameLarge, GrowsPastTheInitialBuffer) {
    const std::size_t rows = 300;
    const std::size_t width = 40;
    std::vector<std::int64_t> time(rows);
    std::vector<double> price(width);
    std::vector<double> cells(rows * width);
    for (std::size_t r = 0; r < rows; ++r) time[r] = static_cast<std::int64_t>(r);
    for (std::size_t c = 0; c < width; ++c) price[c] = static_cast<double>(c);
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = static_cast<double>(i % width);
    std::string text = write_frame(Frame{"S", 0, {heatmap(time, price, cells)}});

    std::string row = "[";
    for (std::size_t c = 0; c < width; ++c) {
        if (c != 0) row.push_back(',');
        row.append(std::to_string(c)).append(".0");
    }
    row.push_back(']');
    std::string expected_grid = "\"intensity\":[";
    for (std::size_t r = 0; r < rows; ++r) {
        if (r != 0) expected_grid.push_back(',');
        expected_grid.append(row);
    }
    expected_grid.append("]}]}");
    ASSERT_GE(text.size(), expected_grid.size());
    EXPECT_EQ(text.substr(text.size() - expected_grid.size()), expected_grid);
}


// Rows and cells equal to the ones above are written from the text already written; the reply
// must be what formatting every cell gives, whatever mix of repeats, signed zeros, nulls and
// clipped rows the grid holds.
TEST(WriteHeatmapRows, RepeatsGiveTheTextOfEveryCell) {
    std::uint64_t state = 88172645463325252u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    const double palette[] = {0.0, -0.0, 1.5, 2.25, 1234.56789012, kNaN, kInf, 1e-7, 0.1 + 0.2};
    for (int trial = 0; trial < 300; ++trial) {
        std::size_t width = next() % 6;
        std::size_t rows = next() % 9;
        std::vector<std::int64_t> time(rows);
        std::vector<double> price(width, 1.0);
        std::vector<double> cells;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < width; ++c) {
                bool repeat = r != 0 && next() % 3 != 0;
                cells.push_back(repeat ? cells[(r - 1) * width + c] : palette[next() % std::size(palette)]);
            }
        }
        // Sometimes the grid holds fewer cells than its axes.
        if (next() % 4 == 0 && !cells.empty()) cells.resize(next() % cells.size());
        std::string expected = "[";
        for (std::size_t r = 0; r < rows; ++r) {
            if (r != 0) expected += ',';
            expected += '[';
            std::size_t first = std::min(r * width, cells.size());
            std::size_t count = std::min(width, cells.size() - first);
            for (std::size_t c = 0; c < count; ++c) {
                if (c != 0) expected += ',';
                json::write_float(expected, cells[first + c]);
            }
            expected += ']';
        }
        expected += ']';
        std::string reply = write_frame(Frame{"S", 1, {heatmap(time, price, cells)}});
        std::size_t at = reply.find(R"("intensity":)");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(reply.substr(at + 12, expected.size()), expected) << "trial " << trial;
        EXPECT_EQ(reply.size(), at + 12 + expected.size() + 3) << "trial " << trial;
    }
}

}  // namespace
}  // namespace vorn

#include "core/features/bars.hpp"

#include <limits>

#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/panel_limits.hpp"

namespace vorn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The bucket of ts on the grid, or -1 outside it.
struct Grid {
    std::int64_t first_start;
    std::int64_t bucket_ms;
    std::size_t count;

    std::ptrdiff_t row(std::int64_t ts) const {
        if (ts < first_start) return -1;
        const auto offset = static_cast<std::uint64_t>(Int128{ts} - Int128{first_start});
        const std::uint64_t row = offset / static_cast<std::uint64_t>(bucket_ms);
        return row < count ? static_cast<std::ptrdiff_t>(row) : -1;
    }
    std::int64_t end(std::size_t row) const { return first_start + static_cast<std::int64_t>(row + 1) * bucket_ms; }
};

void add_trades(const Window& window, const Grid& grid, Bars& out) {
    std::vector<double> notional(grid.count, 0.0);
    for (const Trade& trade : window.trades) {
        const std::ptrdiff_t row = grid.row(trade.ts);
        if (row < 0) continue;
        const auto r = static_cast<std::size_t>(row);
        if (out.trades[r]++ == 0) {
            out.open[r] = out.high[r] = out.low[r] = trade.price;
        } else {
            if (trade.price > out.high[r]) out.high[r] = trade.price;
            if (trade.price < out.low[r]) out.low[r] = trade.price;
        }
        out.close[r] = trade.price;
        out.volume[r] += trade.qty;
        (trade.side == TradeSide::Buy ? out.buy_volume[r] : out.sell_volume[r]) += trade.qty;
        notional[r] += trade.price * trade.qty;
    }
    double running = 0.0;
    for (std::size_t r = 0; r < grid.count; ++r) {
        out.delta[r] = out.buy_volume[r] - out.sell_volume[r];
        running += out.delta[r];
        out.cum_delta[r] = running;
        if (out.trades[r] > 0) out.vwap[r] = notional[r] / out.volume[r];
    }
}

void add_liquidations(const Window& window, const Grid& grid, Bars& out) {
    for (const LiquidationEvent& event : window.liquidations) {
        const std::ptrdiff_t row = grid.row(event.ts);
        if (row < 0) continue;
        (event.side == LiquidationSide::Long ? out.liquidated_long : out.liquidated_short)[static_cast<std::size_t>(row)] +=
            event.qty;
    }
}

// The value of the last record (in prepared order) with ts before each bucket's end.
template <class Record, class Field>
void last_before_end(std::span<const Record> records, const Grid& grid, Field field, std::vector<double>& out) {
    std::size_t next = 0;
    for (std::size_t r = 0; r < grid.count; ++r) {
        const std::int64_t end = grid.end(r);
        while (next < records.size() && records[next].ts < end) ++next;
        out[r] = next > 0 ? field(records[next - 1]) : kNaN;
    }
}

}  // namespace

Result<Bars> compute_bars(const Window& window, std::int64_t first_start, std::int64_t bucket_ms, std::size_t count) {
    if (bucket_ms < 1) return VornError::bad_spec("bars bucket_ms must be > 0");
    if (Int128{first_start} + Int128{bucket_ms} * Int128{count} > Int128{INT64_MAX}) {
        return VornError::data("bars bucket ends out of range");
    }
    if (Int128{count} * 16 > Int128{kMaxPanelCells}) return VornError::data("bars grid too large");
    Bars out;
    for (std::vector<double>* column : {&out.open, &out.high, &out.low, &out.close, &out.vwap}) {
        column->assign(count, kNaN);
    }
    for (std::vector<double>* column : {&out.volume, &out.buy_volume, &out.sell_volume, &out.delta, &out.cum_delta,
                                        &out.liquidated_long, &out.liquidated_short, &out.funding_rate,
                                        &out.open_interest}) {
        column->assign(count, 0.0);
    }
    out.trades.assign(count, 0);
    const Grid grid{first_start, bucket_ms, count};
    add_trades(window, grid, out);
    add_liquidations(window, grid, out);
    last_before_end(window.funding, grid, [](const FundingEvent& e) { return e.rate; }, out.funding_rate);
    last_before_end(window.oi, grid, [](const OiEvent& e) { return e.oi; }, out.open_interest);
    return out;
}

}  // namespace vorn

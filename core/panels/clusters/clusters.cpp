#include "core/panels/clusters/clusters.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <numeric>

#include "core/runtime/worker_pool.hpp"
#include "core/panels/arithmetic/bin_price.hpp"
#include "core/runtime/bit_keyed_map.hpp"
#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/panel_limits.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {
namespace {

// Sums one run of rows: each row's trades are contiguous (the trades are in ts order), and each
// row writes only its own cells, so rows run on any thread in any order.
struct RowSums {
    const std::vector<std::size_t>& row_first_trade;  // rows + 1 entries
    const std::vector<std::uint32_t>& column_of_trade;
    std::span<const Trade> trades;
    std::size_t columns;
    Clusters& out;

    void operator()(std::size_t begin, std::size_t end) noexcept {
        for (std::size_t row = begin; row < end; ++row) {
            double* buy = out.buy_vol.data() + row * columns;
            double* sell = out.sell_vol.data() + row * columns;
            for (std::size_t t = row_first_trade[row]; t < row_first_trade[row + 1]; ++t) {
                const Trade& trade = trades[t];
                double& cell = trade.side == TradeSide::Buy ? buy[column_of_trade[t]] : sell[column_of_trade[t]];
                cell += trade.qty;
            }
            for (std::size_t c = 0; c < columns; ++c) {
                buy[c] = round8(buy[c]);
                sell[c] = round8(sell[c]);
            }
        }
    }
};

}  // namespace

Result<Clusters> compute_clusters(double w, std::int64_t b, const Window& window) {
    if (!(w > 0.0) || !std::isfinite(w)) return VornError::bad_spec("clusters price_bin must be a positive number");
    if (b < 1) return VornError::bad_spec("clusters bucket_ms must be > 0");
    Clusters out;
    const std::span<const Trade> trades = window.trades;
    if (trades.empty()) return out;

    // First pass, in trade order: each trade's bin (dense, in first-seen order, found as the
    // footprint finds it) and where each bucket's trades start.
    std::vector<std::uint32_t> bin_of_trade(trades.size());
    std::vector<std::uint64_t> bin_keys;  // total_order_key of each dense bin's edge
    BitKeyedMap<std::uint32_t> bin_by_edge;
    std::vector<std::size_t> row_first_trade;
    std::int64_t row_bucket = 0;
    std::uint64_t last_price_bits = 0;
    std::uint32_t last_bin = 0;
    for (std::size_t t = 0; t < trades.size(); ++t) {
        const std::uint64_t price_bits = std::bit_cast<std::uint64_t>(trades[t].price);
        if (t == 0 || price_bits != last_price_bits) {
            const double edge = bin_price(trades[t].price, w);
            const auto next = static_cast<std::uint32_t>(bin_keys.size());
            last_bin = bin_by_edge.find_or_insert(std::bit_cast<std::uint64_t>(edge), next);
            if (last_bin == next) bin_keys.push_back(total_order_key(edge));
            last_price_bits = price_bits;
        }
        bin_of_trade[t] = last_bin;
        const std::int64_t bucket = bucket_index(trades[t].ts, b);
        if (t == 0 || bucket != row_bucket) {
            if (Int128{bucket} * b < Int128{INT64_MIN}) return VornError::data("clusters time buckets out of range");
            row_first_trade.push_back(t);
            out.time.push_back(bucket * b);
            row_bucket = bucket;
        }
    }
    row_first_trade.push_back(trades.size());

    const std::size_t rows = out.time.size();
    const std::size_t columns = bin_keys.size();
    if (Int128{rows} * Int128{columns} > Int128{kMaxPanelCells}) return VornError::data("clusters grid too large");

    // Columns in ascending price order (keys are unique, so the order is total).
    std::vector<std::uint32_t> bins_in_order(columns);
    std::iota(bins_in_order.begin(), bins_in_order.end(), 0U);
    std::sort(bins_in_order.begin(), bins_in_order.end(),
              [&](std::uint32_t a, std::uint32_t c) { return bin_keys[a] < bin_keys[c]; });
    std::vector<std::uint32_t> column_of_bin(columns);
    out.price.resize(columns);
    for (std::size_t c = 0; c < columns; ++c) {
        column_of_bin[bins_in_order[c]] = static_cast<std::uint32_t>(c);
        out.price[c] = round8(from_total_order_key(bin_keys[bins_in_order[c]]));
    }
    for (std::uint32_t& bin : bin_of_trade) bin = column_of_bin[bin];

    out.buy_vol.assign(rows * columns, 0.0);
    out.sell_vol.assign(rows * columns, 0.0);
    RowSums sums{row_first_trade, bin_of_trade, trades, columns, out};
    run_split(rows, sums);
    return out;
}

}  // namespace vorn

// Funding/OI divergence: funding rate, open interest and close price carried onto one time grid.
#include <cassert>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/panel_limits.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/panels/panel_grid.hpp"

namespace vorn {
namespace {

// One series read in ts order: the value of its last record below the current bucket end,
// plus zero before its first record.
template <class Record, double Record::*Field>
struct CarriedSeries {
    std::span<const Record> records;
    std::size_t next = 0;
    double value = 0.0;

    void advance_below(Int128 end) {
        while (next < records.size() && Int128{records[next].ts} < end) {
            value = records[next].*Field;
            ++next;
        }
    }
};

}  // namespace

std::optional<BucketRange> divergence_buckets(const Window& window, std::int64_t b) {
    const bool has_funding = !window.funding.empty();
    const bool has_oi = !window.oi.empty();
    const bool has_candles = !window.candles.empty();
    if (!has_funding && !has_oi && !has_candles) return std::nullopt;
    // Span over the non-empty lists only; each list is in ascending ts order.
    std::int64_t start = INT64_MAX;
    std::int64_t end = INT64_MIN;
    if (has_funding) {
        start = std::min(start, window.funding.front().ts);
        end = std::max(end, window.funding.back().ts);
    }
    if (has_oi) {
        start = std::min(start, window.oi.front().ts);
        end = std::max(end, window.oi.back().ts);
    }
    if (has_candles) {
        start = std::min(start, window.candles.front().ts);
        end = std::max(end, window.candles.back().ts);
    }
    return bucket_range(start, end, b);
}

Result<PanelData> compute_funding_oi_divergence(const VornPanel::FundingOiDivergence& params,
                                                const Window& window) {
    const std::int64_t b = params.bucket_ms;
    assert(b >= 1);  // a validated spec's

    PanelData::FundingOiDivergence out;
    const std::optional<BucketRange> buckets = divergence_buckets(window, b);
    if (!buckets) return PanelData{std::move(out)};
    const BucketRange range = *buckets;
    if (range.count > Int128{kMaxPanelCells}) return VornError::data("funding_oi_divergence has too many buckets");
    if (!range.starts_representable()) return VornError::data("funding_oi_divergence time buckets out of range");

    const std::size_t n = static_cast<std::size_t>(range.count);
    out.time.resize(n);
    out.funding.resize(n);
    out.oi.resize(n);
    out.price.resize(n);

    CarriedSeries<FundingEvent, &FundingEvent::rate> funding{window.funding};
    CarriedSeries<OiEvent, &OiEvent::oi> oi{window.oi};
    CarriedSeries<Candle, &Candle::close> close{window.candles};

    Int128 bucket_start = range.first_start;
    for (std::size_t k = 0; k < n; ++k) {
        // Computed in 128 bits: the last bucket's end may lie past INT64_MAX.
        const Int128 bucket_end = bucket_start + b;
        funding.advance_below(bucket_end);
        oi.advance_below(bucket_end);
        close.advance_below(bucket_end);
        out.time[k] = static_cast<std::int64_t>(bucket_start);
        // Rounded on output only; the carried values stay as recorded.
        out.funding[k] = round8(funding.value);
        out.oi[k] = round8(oi.value);
        out.price[k] = round8(close.value);
        bucket_start = bucket_end;
    }
    return PanelData{std::move(out)};
}

}  // namespace vorn

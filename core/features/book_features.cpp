#include "core/features/book_features.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/panels/arithmetic/bucket_range.hpp"
#include "core/panels/panel_limits.hpp"

namespace vorn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One side of the book being replayed: its levels ordered from the best price outwards in one
// vector. Updates land near the touch, so inserting or erasing moves a few levels, and the depths
// are summed front to back without chasing pointers.
class BookSide {
public:
    explicit BookSide(bool descending) : descending_(descending) {}

    void clear() { levels_.clear(); }
    bool empty() const { return levels_.empty(); }
    double best() const { return levels_.front().price; }

    void set(const PriceLevel& level) {
        auto at = std::lower_bound(levels_.begin(), levels_.end(), level.price,
                                   [this](const PriceLevel& l, double price) { return before(l.price, price); });
        const bool found = at != levels_.end() && !before(level.price, at->price);
        if (level.qty == 0.0) {
            if (found) levels_.erase(at);
        } else if (found) {
            at->qty = level.qty;
        } else {
            levels_.insert(at, level);
        }
    }

    // The quantity from the best price outwards while `within` holds for the price.
    template <class Within>
    double depth(Within within) const {
        double total = 0.0;
        for (const PriceLevel& level : levels_) {
            if (!within(level.price)) break;
            total += level.qty;
        }
        return total;
    }

private:
    bool before(double a, double b) const { return descending_ ? a > b : a < b; }

    bool descending_;
    std::vector<PriceLevel> levels_;
};

struct ReplayedBook {
    BookSide bids{true};
    BookSide asks{false};

    void apply(const Window& window, const BookEvent& event) {
        if (event.kind == BookEventKind::Snapshot) {
            bids.clear();
            asks.clear();
        }
        for (const PriceLevel& level : window.bids(event)) bids.set(level);
        for (const PriceLevel& level : window.asks(event)) asks.set(level);
    }
};

void write_row(const ReplayedBook& book, std::size_t row, double price_bin, std::span<const std::uint32_t> depths,
               BookFeatures& out) {
    const std::size_t cells = depths.size();
    const double bid = book.bids.empty() ? kNaN : book.bids.best();
    const double ask = book.asks.empty() ? kNaN : book.asks.best();
    out.best_bid[row] = bid;
    out.best_ask[row] = ask;
    if (book.bids.empty() || book.asks.empty()) return;  // the rest stays NaN
    const double mid = (bid + ask) * 0.5;
    out.mid[row] = mid;
    out.spread[row] = ask - bid;
    for (std::size_t d = 0; d < cells; ++d) {
        const double reach = static_cast<double>(depths[d]) * price_bin;
        const double low = mid - reach;
        const double high = mid + reach;
        const double bids = book.bids.depth([low](double price) { return price >= low; });
        const double asks = book.asks.depth([high](double price) { return price <= high; });
        const double total = bids + asks;
        out.bid_depth[row * cells + d] = bids;
        out.ask_depth[row * cells + d] = asks;
        out.imbalance[row * cells + d] = total != 0.0 ? (bids - asks) / total : kNaN;
    }
}

}  // namespace

Result<BookFeatures> compute_book_features(const Window& window, std::int64_t first_end, std::int64_t bucket_ms,
                                           std::size_t count, double price_bin,
                                           std::span<const std::uint32_t> depths) {
    if (!(price_bin > 0.0) || !std::isfinite(price_bin)) {
        return VornError::bad_spec("book features price_bin must be a positive number");
    }
    if (bucket_ms < 1) return VornError::bad_spec("book features bucket_ms must be > 0");
    if (count > 0 && Int128{first_end} + Int128{bucket_ms} * Int128{count - 1} > Int128{INT64_MAX}) {
        return VornError::data("book features bucket ends out of range");
    }
    if (Int128{count} * Int128{depths.size() + 1} > Int128{kMaxPanelCells}) {
        return VornError::data("book features grid too large");
    }
    BookFeatures out;
    for (std::vector<double>* column : {&out.best_bid, &out.best_ask, &out.mid, &out.spread}) {
        column->assign(count, kNaN);
    }
    for (std::vector<double>* matrix : {&out.bid_depth, &out.ask_depth, &out.imbalance}) {
        matrix->assign(count * depths.size(), kNaN);
    }

    ReplayedBook book;
    bool started = false;  // the first snapshot has been applied
    std::size_t next = 0;
    const std::span<const BookEvent> events = window.book;
    for (std::size_t row = 0; row < count; ++row) {
        const std::int64_t end = first_end + static_cast<std::int64_t>(row) * bucket_ms;
        for (; next < events.size() && events[next].ts < end; ++next) {
            started = started || events[next].kind == BookEventKind::Snapshot;
            if (started) book.apply(window, events[next]);
        }
        write_row(book, row, price_bin, depths, out);
    }
    return out;
}

}  // namespace vorn

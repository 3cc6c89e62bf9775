// Footprint: traded volume per price bin, split into buy and sell, bins in ascending totalOrder.
#include <cassert>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/panels/arithmetic/bin_price.hpp"
#include "core/runtime/bit_keyed_map.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/compute_panel.hpp"

namespace vorn {
namespace {

struct BinVolume {
    std::uint64_t order_key;  // total_order_key of the bin's lower edge
    double buy = 0.0;         // sums start at plus zero
    double sell = 0.0;
};

}  // namespace

Result<PanelData> compute_footprint(const VornPanel::Footprint& params, const Window& window) {
    const double w = params.price_bin;
    assert(w > 0.0 && std::isfinite(w));  // a validated spec's

    // Bins live densely in first-trade order; the hash maps only find a bin's index, so growing
    // them never moves the sums.
    std::vector<BinVolume> bins;
    BitKeyedMap<std::size_t> index_of_bin;
    // Trades repeat a few thousand prices on a tick grid: each price is binned once, then found
    // by its bits.
    BitKeyedMap<std::size_t> bin_of_price;

    // Consecutive trades often share a price: reuse the last bin without hashing.
    std::uint64_t last_price_bits = 0;
    std::size_t last_bin = 0;
    bool have_last = false;

    for (const Trade& t : window.trades) {
        const std::uint64_t price_bits = std::bit_cast<std::uint64_t>(t.price);
        if (!have_last || price_bits != last_price_bits) {
            constexpr std::size_t kNew = SIZE_MAX;
            std::size_t& bin = bin_of_price.find_or_insert(price_bits, kNew);
            if (bin == kNew) {
                const double edge = bin_price(t.price, w);
                const std::size_t next = bins.size();
                bin = index_of_bin.find_or_insert(std::bit_cast<std::uint64_t>(edge), next);
                if (bin == next) bins.push_back(BinVolume{total_order_key(edge)});
            }
            last_bin = bin;
            last_price_bits = price_bits;
            have_last = true;
        }
        BinVolume& bin = bins[last_bin];
        if (t.side == TradeSide::Buy) bin.buy += t.qty;
        else bin.sell += t.qty;
    }

    // Keys are unique, so an unstable sort gives the one ascending order.
    std::sort(bins.begin(), bins.end(),
              [](const BinVolume& a, const BinVolume& b) { return a.order_key < b.order_key; });

    PanelData::Footprint out;
    out.price_bins.reserve(bins.size());
    out.buy_vol.reserve(bins.size());
    out.sell_vol.reserve(bins.size());
    for (const BinVolume& bin : bins) {
        out.price_bins.push_back(round8(from_total_order_key(bin.order_key)));
        out.buy_vol.push_back(round8(bin.buy));
        out.sell_vol.push_back(round8(bin.sell));
    }
    return PanelData{std::move(out)};
}

}  // namespace vorn

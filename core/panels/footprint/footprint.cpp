// Footprint: traded volume per price bin, split into buy and sell, bins in ascending totalOrder.
#include <cassert>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/panels/arithmetic/bin_price.hpp"
#include "core/runtime/bit_keyed_map.hpp"
#include "core/panels/arithmetic/round8.hpp"
#include "core/panels/arithmetic/total_order.hpp"
#include "core/panels/compute_panel.hpp"
#include "core/panels/footprint/footprint_carry.hpp"

namespace vorn {

Result<PanelData> compute_footprint(const VornPanel::Footprint& params, const Window& window,
                                    const FootprintCarry* previous, std::optional<FootprintCarry>* next) {
    const double w = params.price_bin;
    assert(w > 0.0 && std::isfinite(w));  // a validated spec's

    // A playback continues from the previous frame's sums (the same trades come first).
    FootprintCarry local;
    FootprintCarry& sums = next == nullptr ? local : next->emplace();
    if (next != nullptr && previous != nullptr && previous->next_trade <= window.trades.size()) sums = *previous;
    std::vector<BinVolume>& bins = sums.bins;

    // Consecutive trades often share a price: reuse the last bin without hashing.
    std::uint64_t last_price_bits = 0;
    std::size_t last_bin = 0;
    bool have_last = false;

    for (const Trade& t : window.trades.subspan(sums.next_trade)) {
        const std::uint64_t price_bits = std::bit_cast<std::uint64_t>(t.price);
        if (!have_last || price_bits != last_price_bits) {
            constexpr std::size_t kNew = SIZE_MAX;
            std::size_t& bin = sums.bin_of_price.find_or_insert(price_bits, kNew);
            if (bin == kNew) {
                const double edge = bin_price(t.price, w);
                const std::size_t fresh = bins.size();
                bin = sums.index_of_bin.find_or_insert(std::bit_cast<std::uint64_t>(edge), fresh);
                if (bin == fresh) bins.push_back(BinVolume{total_order_key(edge)});
            }
            last_bin = bin;
            last_price_bits = price_bits;
            have_last = true;
        }
        BinVolume& bin = bins[last_bin];
        if (t.side == TradeSide::Buy) bin.buy += t.qty;
        else bin.sell += t.qty;
    }
    sums.next_trade = window.trades.size();

    // A carry keeps its bins in first-trade order for the next frame: a copy is sorted.
    std::vector<BinVolume> copied;
    if (next != nullptr) copied = bins;
    std::vector<BinVolume>& sorted = next != nullptr ? copied : bins;
// Keys are unique, so an unstable sort gives the one ascending order.
    std::sort(sorted.begin(), sorted.end(),
              [](const BinVolume& a, const BinVolume& b) { return a.order_key < b.order_key; });

    PanelData::Footprint out;
    out.price_bins.reserve(sorted.size());
    out.buy_vol.reserve(sorted.size());
    out.sell_vol.reserve(sorted.size());
    for (const BinVolume& bin : sorted) {
        out.price_bins.push_back(round8(from_total_order_key(bin.order_key)));
        out.buy_vol.push_back(round8(bin.buy));
        out.sell_vol.push_back(round8(bin.sell));
    }
    return PanelData{std::move(out)};
}

}  // namespace vorn

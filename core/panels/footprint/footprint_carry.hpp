#pragma once
// What a footprint keeps from one frame of a playback to the next (the same spec, dataset and
// window start, a later end): the bins' sums over the trades so far, in first-trade order, so a
// later frame adds only the trades after them, in the same order a whole pass would.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/runtime/bit_keyed_map.hpp"

namespace vorn {

struct BinVolume {
    std::uint64_t order_key;  // total_order_key of the bin's lower edge
    double buy = 0.0;         // sums start at plus zero
    double sell = 0.0;
};

struct FootprintCarry {
    // Bins live densely in first-trade order; the hash maps only find a bin's index, so growing
    // them never moves the sums.
    std::vector<BinVolume> bins;
    BitKeyedMap<std::size_t> index_of_bin;
    // Trades repeat a few thousand prices on a tick grid: each price is binned once, then found
    // by its bits.
    BitKeyedMap<std::size_t> bin_of_price;
    std::size_t next_trade = 0;  // the first trade of the window not yet added
};

}  // namespace vorn

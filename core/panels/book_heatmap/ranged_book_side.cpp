#include "core/panels/book_heatmap/ranged_book_side.hpp"

#include <algorithm>

namespace vorn {

bool RangedBookSide::apply(std::uint64_t key, double qty) {
    if (!in_range(key)) return false;
    const auto it = std::lower_bound(keys_.begin(), keys_.end(), key);
    const std::size_t i = static_cast<std::size_t>(it - keys_.begin());
    const bool present = it != keys_.end() && *it == key;
    if (qty == 0.0) {
        if (!present) return false;
        keys_.erase(it);
        qty_.erase(qty_.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (present) {
        qty_[i] = qty;
    } else {
        keys_.insert(it, key);
        qty_.insert(qty_.begin() + static_cast<std::ptrdiff_t>(i), qty);
    }
    return true;
}

std::size_t RangedBookSide::lower_bound_from(std::size_t from, std::uint64_t key) const {
    const std::size_t n = keys_.size();
    if (from >= n || keys_[from] >= key) return from;
    // keys_[below] < key throughout; widen the step until a key at or above `key` is passed.
    std::size_t below = from;
    std::size_t step = 1;
    std::size_t probe = from + 1;
    while (probe < n && keys_[probe] < key) {
        below = probe;
        step *= 2;
        probe = below + step;
    }
    const std::size_t end = std::min(probe, n);
    return static_cast<std::size_t>(
        std::lower_bound(keys_.begin() + static_cast<std::ptrdiff_t>(below) + 1,
                         keys_.begin() + static_cast<std::ptrdiff_t>(end), key) -
        keys_.begin());
}

}  // namespace vorn

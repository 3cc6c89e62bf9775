#include "core/dataset/price_ids.hpp"

#include <bit>
#include <limits>

#include "core/panels/arithmetic/total_order.hpp"

namespace vorn {

bool PriceIds::extend(std::span<const PriceLevel> levels) noexcept {
    try {
        if (levels.size() < of_level_.size() || levels.size() > std::numeric_limits<std::uint32_t>::max()) return false;
        const std::size_t first = of_level_.size();
        of_level_.reserve_additional(levels.size() - first);
        for (std::size_t i = first; i < levels.size(); ++i) {
            const double price = levels[i].price;
            const auto fresh = static_cast<std::uint32_t>(keys_.size());
            const std::uint32_t number = number_.find_or_insert(std::bit_cast<std::uint64_t>(price), fresh);
            if (number == fresh) keys_.push_back(total_order_key(price));
            of_level_.push_back(number);
        }
    } catch (...) {
        return false;  // only memory can run out here; frames then take the path without numbers
    }
    return true;
}

std::size_t PriceIds::memory_bytes() const {
    return of_level_.capacity() * sizeof(std::uint32_t) + keys_.capacity() * sizeof(std::uint64_t) +
           number_.memory_bytes();
}

}  // namespace vorn

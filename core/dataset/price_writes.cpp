#include "core/dataset/price_writes.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace vorn {

bool PriceWrites::build(const Dataset& dataset, const PriceIds& ids) noexcept {
    try {
        if (!ids.covers({dataset.levels.data(), dataset.levels.size()})) return false;
        // Event order, and every position within 32 bits.
        std::uint64_t end = 0;
        for (const BookEvent& e : dataset.book) {
            if (e.first_level < end) return false;
            end = e.first_level + e.bid_count + e.ask_count;
        }
        if (end > std::numeric_limits<std::uint32_t>::max()) return false;

        const std::span<const std::uint64_t> id_keys = ids.keys();
        std::vector<std::pair<std::uint64_t, std::uint32_t>> by_key(id_keys.size());
        for (std::size_t n = 0; n < id_keys.size(); ++n) by_key[n] = {id_keys[n], static_cast<std::uint32_t>(n)};
        std::sort(by_key.begin(), by_key.end());
        std::vector<std::uint32_t> rank_of(id_keys.size());
        keys_.resize_for_overwrite(by_key.size());
        number_of_rank_.resize_for_overwrite(by_key.size());
        for (std::size_t r = 0; r < by_key.size(); ++r) {
            keys_[r] = by_key[r].first;
            number_of_rank_[r] = by_key[r].second;
            rank_of[by_key[r].second] = static_cast<std::uint32_t>(r);
        }
        by_key = {};

        // Counted, then placed: a counting sort by rank that keeps pool order within a price.
        const std::size_t ranks = keys_.size();
        for (PodVector<std::uint32_t>& offsets : offsets_) {
            offsets.resize_for_overwrite(ranks + 1);
            std::fill(offsets.begin(), offsets.end(), 0);
        }
        auto each_level = [&](auto&& f) {
            for (const BookEvent& e : dataset.book) {
                for (std::uint64_t l = e.first_level; l < e.first_level + e.bid_count; ++l) f(kBids, l);
                for (std::uint64_t l = e.first_level + e.bid_count; l < e.first_level + e.bid_count + e.ask_count; ++l) {
                    f(kAsks, l);
                }
            }
        };
        each_level([&](Side side, std::uint64_t l) { ++offsets_[side][rank_of[ids.of_level(l)] + 1]; });
        for (std::size_t side = 0; side < 2; ++side) {
            PodVector<std::uint32_t>& offsets = offsets_[side];
            for (std::size_t r = 0; r < ranks; ++r) offsets[r + 1] += offsets[r];
            positions_[side].resize_for_overwrite(offsets[ranks]);
        }
        std::vector<std::uint32_t> next[2] = {std::vector<std::uint32_t>(offsets_[0].begin(), offsets_[0].end() - 1),
                                              std::vector<std::uint32_t>(offsets_[1].begin(), offsets_[1].end() - 1)};
        each_level([&](Side side, std::uint64_t l) {
            positions_[side][next[side][rank_of[ids.of_level(l)]]++] = static_cast<std::uint32_t>(l);
        });

        snapshots_.clear();
        for (std::size_t i = 0; i < dataset.book.size(); ++i) {
            if (dataset.book[i].kind == BookEventKind::Snapshot) snapshots_.push_back(i);
        }
        events_ = dataset.book.size();
        levels_ = end;
        return true;
    } catch (...) {
        return false;  // memory ran out: frames read the levels one by one
    }
}

std::size_t PriceWrites::memory_bytes() const {
    std::size_t bytes = keys_.capacity() * 8 + number_of_rank_.capacity() * 4 + snapshots_.capacity() * 8;
    for (std::size_t side = 0; side < 2; ++side) bytes += (offsets_[side].capacity() + positions_[side].capacity()) * 4;
    return bytes;
}

}  // namespace vorn

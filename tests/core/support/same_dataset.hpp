#pragma once
// Whether two datasets hold the same records, field by field, floats compared by their bits (so
// -0.0 differs from 0.0); on a difference, where it is. Padding bytes are not compared.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/dataset/dataset.hpp"

namespace vorn::testing_support {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

inline bool same_record(const Candle& a, const Candle& b) {
    return a.ts == b.ts && bits(a.open) == bits(b.open) && bits(a.high) == bits(b.high) && bits(a.low) == bits(b.low) &&
           bits(a.close) == bits(b.close) && bits(a.volume) == bits(b.volume);
}
inline bool same_record(const Trade& a, const Trade& b) {
    return a.ts == b.ts && bits(a.price) == bits(b.price) && bits(a.qty) == bits(b.qty) && a.side == b.side;
}
inline bool same_record(const BookEvent& a, const BookEvent& b) {
    return a.ts == b.ts && a.first_level == b.first_level && a.bid_count == b.bid_count && a.ask_count == b.ask_count &&
           a.kind == b.kind;
}
inline bool same_record(const FundingEvent& a, const FundingEvent& b) { return a.ts == b.ts && bits(a.rate) == bits(b.rate); }
inline bool same_record(const OiEvent& a, const OiEvent& b) { return a.ts == b.ts && bits(a.oi) == bits(b.oi); }
inline bool same_record(const LiquidationEvent& a, const LiquidationEvent& b) {
    return a.ts == b.ts && bits(a.price) == bits(b.price) && bits(a.qty) == bits(b.qty) && a.side == b.side;
}
inline bool same_record(const PriceLevel& a, const PriceLevel& b) {
    return bits(a.price) == bits(b.price) && bits(a.qty) == bits(b.qty);
}

// Empty when the datasets are the same, else the first list that differs and where.
inline std::string dataset_difference(const Dataset& a, const Dataset& b) {
    static constexpr const char* kNames[] = {"candles", "trades", "book", "funding", "oi", "liquidations"};
    std::string difference;
    int list = 0;
    auto compare = [&](const auto& x, const auto& y) {
        const char* name = list < 6 ? kNames[list] : "levels";
        ++list;
        if (!difference.empty()) return;
        if (x.size() != y.size()) {
            difference = std::string(name) + ": " + std::to_string(x.size()) + " records against " + std::to_string(y.size());
            return;
        }
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!same_record(x[i], y[i])) {
                difference = std::string(name) + ": record " + std::to_string(i) + " differs";
                return;
            }
        }
    };
    for_each_list(a, b, compare);
    compare(a.levels, b.levels);
    return difference;
}

}  // namespace vorn::testing_support

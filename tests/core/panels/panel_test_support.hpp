#pragma once
// Small datasets built in code, and bit-exact comparisons of panel outputs.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "core/dataset/dataset.hpp"
#include "core/panels/panel_data.hpp"
#include "core/result.hpp"

namespace vorn::test {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Doubles compared by bit pattern: minus zero differs from plus zero, NaN equals the same NaN.
inline std::vector<std::uint64_t> bits(std::span<const double> xs) {
    std::vector<std::uint64_t> out;
    out.reserve(xs.size());
    for (double x : xs) out.push_back(bits(x));
    return out;
}

#define EXPECT_SAME_BITS(actual, expected) EXPECT_EQ(::vorn::test::bits(actual), ::vorn::test::bits(expected))

inline void add_book_event(Dataset& d, BookEventKind kind, std::int64_t ts, std::initializer_list<PriceLevel> bids,
                           std::initializer_list<PriceLevel> asks) {
    BookEvent e{ts, d.levels.size(), static_cast<std::uint32_t>(bids.size()), static_cast<std::uint32_t>(asks.size()),
                kind};
    d.levels.append(bids.begin(), bids.end());
    d.levels.append(asks.begin(), asks.end());
    d.book.push_back(e);
}

inline void snapshot(Dataset& d, std::int64_t ts, std::initializer_list<PriceLevel> bids,
                     std::initializer_list<PriceLevel> asks) {
    add_book_event(d, BookEventKind::Snapshot, ts, bids, asks);
}

inline void diff(Dataset& d, std::int64_t ts, std::initializer_list<PriceLevel> bids,
                 std::initializer_list<PriceLevel> asks) {
    add_book_event(d, BookEventKind::Diff, ts, bids, asks);
}

// The value of a successful panel computation, as the variant T; fails the test otherwise.
template <class T>
T panel_value(const Result<PanelData>& r) {
    if (!r.ok()) {
        ADD_FAILURE() << "panel failed: " << r.error().display();
        return T{};
    }
    const T* v = std::get_if<T>(&r->value);
    if (v == nullptr) {
        ADD_FAILURE() << "wrong panel kind";
        return T{};
    }
    return *v;
}

inline std::string error_text(const Result<PanelData>& r) { return r.ok() ? std::string("ok") : r.error().display(); }

}  // namespace vorn::test

#pragma once
// A dataset from caller-owned columns (one array per record field), without any JSON: the lists,
// their fields and the field types are declared once in a table that the Python boundary iterates.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/dataset/dataset.hpp"
#include "core/result.hpp"

namespace vorn {

// Int64: int64_t values (timestamps in milliseconds, book level counts). Float64: double values,
// which must be finite (the JSON form cannot carry anything else). Code: uint8_t values 0 or 1, the
// stored position of a two-valued enumeration (buy/sell, long/short, snapshot/diff).
enum class ColumnType : std::uint8_t { Int64, Float64, Code };

struct ColumnField {
    std::string_view name;
    ColumnType type;
};

struct ColumnList {
    std::string_view name;
    std::span<const ColumnField> fields;
};

// The six lists in the dataset's declared order, each with its fields in declared order. The book
// is ragged: its per-event fields (ts, kind, bid_count, ask_count) are followed by the level
// columns (bid_price, bid_qty, ask_price, ask_qty) that hold every event's levels in event order.
inline constexpr std::size_t kListCount = 6;
std::span<const ColumnList, kListCount> column_lists();

// One column: `rows` values of its field's type, laid out contiguously.
struct ColumnData {
    const void* data = nullptr;
    std::size_t rows = 0;
};

// lists[i] holds the columns of column_lists()[i], in field order; a list not given is empty.
struct DatasetColumns {
    std::array<std::optional<std::vector<ColumnData>>, kListCount> lists;
};

// The dataset the columns describe, records in row order (not yet prepared). A failure names the
// list, the field and the first bad row: "trades.price row 3: nan is not a finite number".
Result<Dataset> dataset_from_columns(const DatasetColumns& columns);

}  // namespace vorn

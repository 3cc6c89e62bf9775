#include "core/dataset/columns.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace vorn {
namespace {

using enum ColumnType;

constexpr ColumnField kCandleFields[] = {{"ts", Int64},   {"open", Float64},  {"high", Float64},
                                         {"low", Float64}, {"close", Float64}, {"volume", Float64}};
constexpr ColumnField kTradeFields[] = {{"ts", Int64}, {"price", Float64}, {"qty", Float64}, {"side", Code}};
constexpr ColumnField kBookFields[] = {{"ts", Int64},          {"kind", Code},         {"bid_count", Int64},
                                       {"ask_count", Int64},   {"bid_price", Float64}, {"bid_qty", Float64},
                                       {"ask_price", Float64}, {"ask_qty", Float64}};
constexpr ColumnField kFundingFields[] = {{"ts", Int64}, {"rate", Float64}};
constexpr ColumnField kOiFields[] = {{"ts", Int64}, {"oi", Float64}};
constexpr ColumnField kLiquidationFields[] = {{"ts", Int64}, {"price", Float64}, {"qty", Float64}, {"side", Code}};

constexpr std::array<ColumnList, kListCount> kLists{{
    {"candles", kCandleFields},
    {"trades", kTradeFields},
    {"book", kBookFields},
    {"funding", kFundingFields},
    {"oi", kOiFields},
    {"liquidations", kLiquidationFields},
}};

// The book's per-event columns come first; the level columns after them.
constexpr std::size_t kBookEventFields = 4;

// Columns of one list, read by field position.
class ListReader {
public:
    ListReader(const ColumnList& list, const std::vector<ColumnData>& columns) : list_(list), columns_(columns) {}

    std::size_t rows(std::size_t field) const { return columns_[field].rows; }
    // Values are copied out, not dereferenced in place: a column viewed inside a file (an .npz
    // member) need not be aligned to its type.
    std::int64_t int64(std::size_t field, std::size_t row) const { return load<std::int64_t>(field, row); }
    double float64(std::size_t field, std::size_t row) const { return load<double>(field, row); }
    std::uint8_t code(std::size_t field, std::size_t row) const {
        return static_cast<const std::uint8_t*>(columns_[field].data)[row];
    }

    template <class T>
    T load(std::size_t field, std::size_t row) const {
        T value;
        std::memcpy(&value, static_cast<const unsigned char*>(columns_[field].data) + row * sizeof(T), sizeof(T));
        return value;
    }

    VornError failure(std::size_t field, std::size_t row, std::string_view what) const {
        std::string message;
        message.append(list_.name).append(".").append(list_.fields[field].name);
        message.append(" row ").append(std::to_string(row)).append(": ").append(what);
        return VornError::parse(std::move(message));
    }

    // Fields [first, last) must have as many rows as field `first`; the first row where one differs
    // is named.
    Result<std::size_t> equal_rows(std::size_t first, std::size_t last) const {
        std::size_t n = rows(first);
        for (std::size_t f = first + 1; f < last; ++f) {
            if (rows(f) == n) continue;
            std::string counts = "(the column has " + std::to_string(rows(f)) + " rows, " +
                                 std::string(list_.fields[first].name) + " has " + std::to_string(n) + ")";
            return rows(f) < n ? failure(f, rows(f), "missing " + counts) : failure(f, n, "extra row " + counts);
        }
        return n;
    }

    // Every value of the fields [first, last) is valid for its type.
    Result<void> check_values(std::size_t first, std::size_t last) const {
        for (std::size_t f = first; f < last; ++f) {
            ColumnType type = list_.fields[f].type;
            for (std::size_t row = 0; row < rows(f); ++row) {
                if (type == Float64 && !std::isfinite(float64(f, row))) {
                    return failure(f, row, describe_float(float64(f, row)) + " is not a finite number");
                }
                if (type == Code && code(f, row) > 1) {
                    return failure(f, row, "unknown code " + std::to_string(code(f, row)) + " (expected 0 or 1)");
                }
            }
        }
        return Result<void>::success();
    }

private:
    static std::string describe_float(double v) {
        if (std::isnan(v)) return "nan";
        return v > 0 ? "inf" : "-inf";
    }

    const ColumnList& list_;
    const std::vector<ColumnData>& columns_;
};

template <class Record, class Fill>
Result<void> read_flat_list(const ListReader& reader, std::size_t fields, PodVector<Record>& out, Fill fill) {
    Result<std::size_t> rows = reader.equal_rows(0, fields);
    if (!rows) return std::move(rows).error();
    if (Result<void> valid = reader.check_values(0, fields); !valid) return valid;
    out.reserve(*rows);  // filled in place: no zeroing pass before the values are written
    for (std::size_t row = 0; row < *rows; ++row) out.push_back(fill(row));
    return Result<void>::success();
}

// Level counts of one side: each non-negative and within a book event's 32-bit count, adding up
// to exactly the rows of that side's level columns.
Result<void> check_level_counts(const ListReader& reader, std::size_t events, std::size_t count_field,
                                std::size_t level_rows) {
    std::size_t used = 0;
    for (std::size_t row = 0; row < events; ++row) {
        std::int64_t count = reader.int64(count_field, row);
        if (count < 0) return reader.failure(count_field, row, "negative level count " + std::to_string(count));
        if (static_cast<std::uint64_t>(count) > std::numeric_limits<std::uint32_t>::max()) {
            return reader.failure(count_field, row, "level count " + std::to_string(count) + " exceeds 4294967295");
        }
        if (static_cast<std::size_t>(count) > level_rows - used) {
            return reader.failure(count_field, row,
                                  "the counts up to this row add up to more than the " + std::to_string(level_rows) +
                                      " levels given");
        }
        used += static_cast<std::size_t>(count);
    }
    if (used != level_rows) {
        return reader.failure(count_field, events,
                              "the counts add up to " + std::to_string(used) + " levels, but " +
                                  std::to_string(level_rows) + " are given");
    }
    return Result<void>::success();
}

Result<void> read_book(const ListReader& reader, Dataset& d) {
    enum : std::size_t { Ts, Kind, BidCount, AskCount, BidPrice, BidQty, AskPrice, AskQty };
    Result<std::size_t> events = reader.equal_rows(Ts, kBookEventFields);
    if (!events) return std::move(events).error();
    Result<std::size_t> bids = reader.equal_rows(BidPrice, BidQty + 1);
    if (!bids) return std::move(bids).error();
    Result<std::size_t> asks = reader.equal_rows(AskPrice, AskQty + 1);
    if (!asks) return std::move(asks).error();
    if (Result<void> valid = reader.check_values(Ts, AskQty + 1); !valid) return valid;
    if (Result<void> c = check_level_counts(reader, *events, BidCount, *bids); !c) return c;
    if (Result<void> c = check_level_counts(reader, *events, AskCount, *asks); !c) return c;

    d.book.reserve(*events);
    d.levels.reserve(*bids + *asks);
    std::size_t bid = 0;
    std::size_t ask = 0;
    std::uint64_t level = 0;
    for (std::size_t row = 0; row < *events; ++row) {
        auto bid_count = static_cast<std::uint32_t>(reader.int64(BidCount, row));
        auto ask_count = static_cast<std::uint32_t>(reader.int64(AskCount, row));
        d.book.push_back(BookEvent{reader.int64(Ts, row), level, bid_count, ask_count,
                                   static_cast<BookEventKind>(reader.code(Kind, row))});
        for (std::uint32_t i = 0; i < bid_count; ++i, ++bid) {
            d.levels.push_back(PriceLevel{reader.float64(BidPrice, bid), reader.float64(BidQty, bid)});
        }
        for (std::uint32_t i = 0; i < ask_count; ++i, ++ask) {
            d.levels.push_back(PriceLevel{reader.float64(AskPrice, ask), reader.float64(AskQty, ask)});
        }
        level += bid_count + ask_count;
    }
    return Result<void>::success();
}

Result<void> read_list(std::size_t index, const ListReader& r, Dataset& d) {
    switch (index) {
        case 0:
            return read_flat_list(r, 6, d.candles, [&](std::size_t i) {
                return Candle{r.int64(0, i), r.float64(1, i), r.float64(2, i), r.float64(3, i), r.float64(4, i),
                              r.float64(5, i)};
            });
        case 1:
            return read_flat_list(r, 4, d.trades, [&](std::size_t i) {
                return Trade{r.int64(0, i), r.float64(1, i), r.float64(2, i), static_cast<TradeSide>(r.code(3, i))};
            });
        case 2: return read_book(r, d);
        case 3:
            return read_flat_list(r, 2, d.funding,
                                  [&](std::size_t i) { return FundingEvent{r.int64(0, i), r.float64(1, i)}; });
        case 4:
            return read_flat_list(r, 2, d.oi, [&](std::size_t i) { return OiEvent{r.int64(0, i), r.float64(1, i)}; });
        default:
            return read_flat_list(r, 4, d.liquidations, [&](std::size_t i) {
                return LiquidationEvent{r.int64(0, i), r.float64(1, i), r.float64(2, i),
                                        static_cast<LiquidationSide>(r.code(3, i))};
            });
    }
}

}  // namespace

std::span<const ColumnList, kListCount> column_lists() { return kLists; }

Result<Dataset> dataset_from_columns(const DatasetColumns& columns) {
    Dataset dataset;
    for (std::size_t i = 0; i < kListCount; ++i) {
        const std::optional<std::vector<ColumnData>>& given = columns.lists[i];
        if (!given) continue;
        if (given->size() != kLists[i].fields.size()) {
            return VornError::parse(std::string(kLists[i].name) + ": expected " +
                                    std::to_string(kLists[i].fields.size()) + " columns");
        }
        if (Result<void> read = read_list(i, ListReader(kLists[i], *given), dataset); !read) {
            return std::move(read).error();
        }
    }
    return dataset;
}

}  // namespace vorn

#pragma once
// The six record kinds of a dataset as the decoders see them: each schema names its record, lists
// its fields in declared order (the positional order and the order of the missing-field test) and
// decodes one scalar field by its position. Shared by the decoder of the value tree and the
// direct decoder of the command text, so both judge every field alike.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dataset/dataset.hpp"
#include "core/dataset/decode_fields.hpp"
#include "core/json/value.hpp"

namespace vorn::record_schemas {

using json::Value;
using namespace decode_fields;

// What every record decoder shares: the dataset's level pool and the failure (a parse error).
struct DecodeContext {
    PodVector<PriceLevel>& levels;
    VornError& failure;
};

// Keys are a few bytes long and met millions of times: compare length and first byte before the
// rest, in an inline loop rather than a library call.
inline bool same_key(std::string_view key, std::string_view name) {
    if (key.size() != name.size() || key[0] != name[0]) return false;  // names are never empty
    for (std::size_t i = 1; i < key.size(); ++i) {
        if (key[i] != name[i]) return false;
    }
    return true;
}

template <std::size_t N>
std::size_t field_index(const std::array<std::string_view, N>& names, std::string_view key) {
    for (std::size_t i = 0; i < N; ++i) {
        if (same_key(key, names[i])) return i;
    }
    return N;
}

struct CandleSchema {
    using Record = Candle;
    static constexpr std::string_view kStruct = "struct Candle";
    static constexpr std::string_view kStructLength = "struct Candle with 6 elements";
    static constexpr std::array<std::string_view, 6> kFields{"ts", "open", "high", "low", "close", "volume"};

    Candle record{};

    bool field(std::size_t i, const Value& v, DecodeContext& cx) {
        switch (i) {
            case 0: return decode_i64(v, record.ts, cx.failure);
            case 1: return decode_f64(v, record.open, cx.failure);
            case 2: return decode_f64(v, record.high, cx.failure);
            case 3: return decode_f64(v, record.low, cx.failure);
            case 4: return decode_f64(v, record.close, cx.failure);
            default: return decode_f64(v, record.volume, cx.failure);
        }
    }
    Candle finish(DecodeContext&) { return record; }
};

struct TradeSchema {
    using Record = Trade;
    static constexpr std::string_view kStruct = "struct Trade";
    static constexpr std::string_view kStructLength = "struct Trade with 4 elements";
    static constexpr std::array<std::string_view, 4> kFields{"ts", "price", "qty", "side"};

    Trade record{};

    bool field(std::size_t i, const Value& v, DecodeContext& cx) {
        switch (i) {
            case 0: return decode_i64(v, record.ts, cx.failure);
            case 1: return decode_f64(v, record.price, cx.failure);
            case 2: return decode_f64(v, record.qty, cx.failure);
            default: return decode_variant(v, record.side, cx.failure);
        }
    }
    Trade finish(DecodeContext&) { return record; }
};

struct BookEventSchema {
    using Record = BookEvent;
    static constexpr std::string_view kStruct = "struct BookEvent";
    static constexpr std::string_view kStructLength = "struct BookEvent with 4 elements";
    static constexpr std::array<std::string_view, 4> kFields{"ts", "kind", "bids", "asks"};

    BookEvent record{};
    // Where each side's levels start in the pool.
    std::size_t bids_at = 0;
    std::size_t asks_at = 0;

    bool field(std::size_t i, const Value& v, DecodeContext& cx) {
        switch (i) {
            case 0: return decode_i64(v, record.ts, cx.failure);
            case 1: return decode_variant(v, record.kind, cx.failure);
            default: return decode_levels(v, cx.levels, start_side(i, cx), cx.failure);
        }
    }

    // Whether field `i` is a side (an array of levels) rather than a scalar.
    static constexpr bool is_side(std::size_t i) { return i >= 2; }
    // Notes where side `i` starts in the pool; the reference receives its level count.
    std::uint32_t& start_side(std::size_t i, DecodeContext& cx) {
        (i == 2 ? bids_at : asks_at) = cx.levels.size();
        return i == 2 ? record.bid_count : record.ask_count;
    }

    // The pool holds an event's bids followed by its asks. The object form visits "asks" before
    // "bids" (key order), so there the two runs are swapped in place.
    BookEvent finish(DecodeContext& cx) {
        if (asks_at < bids_at) {
            auto base = cx.levels.begin();
            std::rotate(base + static_cast<std::ptrdiff_t>(asks_at), base + static_cast<std::ptrdiff_t>(bids_at),
                        base + static_cast<std::ptrdiff_t>(bids_at + record.bid_count));
            record.first_level = asks_at;
        } else {
            record.first_level = bids_at;
        }
        return record;
    }
};

struct FundingEventSchema {
    using Record = FundingEvent;
    static constexpr std::string_view kStruct = "struct FundingEvent";
    static constexpr std::string_view kStructLength = "struct FundingEvent with 2 elements";
    static constexpr std::array<std::string_view, 2> kFields{"ts", "rate"};

    FundingEvent record{};

    bool field(std::size_t i, const Value& v, DecodeContext& cx) {
        return i == 0 ? decode_i64(v, record.ts, cx.failure) : decode_f64(v, record.rate, cx.failure);
    }
    FundingEvent finish(DecodeContext&) { return record; }
};

struct OiEventSchema {
    using Record = OiEvent;
    static constexpr std::string_view kStruct = "struct OiEvent";
    static constexpr std::string_view kStructLength = "struct OiEvent with 2 elements";
    static constexpr std::array<std::string_view, 2> kFields{"ts", "oi"};

    OiEvent record{};

    bool field(std::size_t i, const Value& v, DecodeContext& cx) {
        return i == 0 ? decode_i64(v, record.ts, cx.failure) : decode_f64(v, record.oi, cx.failure);
    }
    OiEvent finish(DecodeContext&) { return record; }
};

struct LiquidationEventSchema {
    using Record = LiquidationEvent;
    static constexpr std::string_view kStruct = "struct LiquidationEvent";
    static constexpr std::string_view kStructLength = "struct LiquidationEvent with 4 elements";
    static constexpr std::array<std::string_view, 4> kFields{"ts", "price", "qty", "side"};

    LiquidationEvent record{};

    bool field(std::size_t i, const Value& v, DecodeContext& cx) {
        switch (i) {
            case 0: return decode_i64(v, record.ts, cx.failure);
            case 1: return decode_f64(v, record.price, cx.failure);
            case 2: return decode_f64(v, record.qty, cx.failure);
            default: return decode_variant(v, record.side, cx.failure);
        }
    }
    LiquidationEvent finish(DecodeContext&) { return record; }
};

// The six lists in declared order: the positional form's order.
inline constexpr std::array<std::string_view, 6> kListNames{"candles", "trades", "book", "funding", "oi", "liquidations"};

}  // namespace vorn::record_schemas

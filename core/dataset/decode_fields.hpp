#pragma once
// Decoders of the single fields of a dataset record: integers, floats, two-valued enumerations and
// book levels. Each returns false after writing its failure (a parse error); the success paths allocate
// nothing (levels are appended to a pool reserved by the caller).
#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset/dataset.hpp"
#include "core/json/failure_texts.hpp"
#include "core/json/field_readers.hpp"
#include "core/json/value.hpp"

namespace vorn::decode_fields {

// A signed 64-bit integer: an unsigned integer up to the signed maximum or any negative integer.
// Floats are refused even when whole.
inline bool decode_i64(const json::Value& v, std::int64_t& out, VornError& failure) {
    Result<std::int64_t> read = json::read_i64(v);
    if (!read) {
        failure = std::move(read).error();
        return false;
    }
    out = *read;
    return true;
}

// A 64-bit float: any number, integers converted to the nearest double.
inline bool decode_f64(const json::Value& v, double& out, VornError& failure) {
    Result<double> read = json::read_f64(v);
    if (!read) {
        failure = std::move(read).error();
        return false;
    }
    out = *read;
    return true;
}

// The variant names of each two-valued enumeration, by stored position.
template <class Enum>
inline constexpr std::array<std::string_view, 2> kVariantNames{};
template <>
inline constexpr std::array<std::string_view, 2> kVariantNames<TradeSide>{"buy", "sell"};
template <>
inline constexpr std::array<std::string_view, 2> kVariantNames<LiquidationSide>{"long", "short"};
template <>
inline constexpr std::array<std::string_view, 2> kVariantNames<BookEventKind>{"snapshot", "diff"};

// A variant given as its name, or as an object whose one key is the name and whose value is null.
// In the object form the name is judged before the value.
template <class Enum>
bool decode_variant(const json::Value& v, Enum& out, VornError& failure) {
    constexpr const std::array<std::string_view, 2>& names = kVariantNames<Enum>;
    std::string_view name;
    std::optional<json::Value> unit;
    if (v.kind() == json::Kind::String) {
        name = v.as_string();
    } else if (v.kind() == json::Kind::Object) {
        json::ObjectView members = v.as_object();
        if (members.size() != 1) {
            failure = VornError::parse(json::failure_text::invalid_value(v, "map with a single key"));
            return false;
        }
        name = members[0].key;
        unit = members[0].value;
    } else {
        failure = VornError::parse(json::failure_text::invalid_type(v, "string or map"));
        return false;
    }
    if (name == names[0]) {
        out = static_cast<Enum>(0);
    } else if (name == names[1]) {
        out = static_cast<Enum>(1);
    } else {
        failure = VornError::parse(json::failure_text::unknown_variant(name, names));
        return false;
    }
    if (unit && !unit->is_null()) {
        failure = VornError::parse(json::failure_text::invalid_type(*unit, "unit"));
        return false;
    }
    return true;
}

// One side of a book event: an array of [price, qty] pairs, appended to `pool` in the order given.
// The entries of a pair are decoded before its length is judged.
inline bool decode_levels(const json::Value& v, PodVector<PriceLevel>& pool, std::uint32_t& count,
                          VornError& failure) {
    if (v.kind() != json::Kind::Array) {
        failure = VornError::parse(json::failure_text::invalid_type(v, "a sequence"));
        return false;
    }
    json::ArrayView levels = v.as_array();
    // An event keeps its level count in 32 bits: a longer side is refused, never cut.
    if (levels.size() > std::numeric_limits<std::uint32_t>::max()) {
        failure = VornError::parse(json::failure_text::invalid_length(levels.size(), "at most 4294967295 levels"));
        return false;
    }
    for (const json::Value& level : levels) {
        if (level.kind() != json::Kind::Array) {
            failure = VornError::parse(json::failure_text::invalid_type(level, "an array of length 2"));
            return false;
        }
        json::ArrayView pair = level.as_array();
        PriceLevel decoded{0.0, 0.0};
        if (pair.empty()) {
            failure = VornError::parse(json::failure_text::invalid_length(0, "an array of length 2"));
            return false;
        }
        if (!decode_f64(pair[0], decoded.price, failure)) return false;
        if (pair.size() == 1) {
            failure = VornError::parse(json::failure_text::invalid_length(1, "an array of length 2"));
            return false;
        }
        if (!decode_f64(pair[1], decoded.qty, failure)) return false;
        if (pair.size() > 2) {
            failure = VornError::parse(json::failure_text::invalid_length(pair.size(), "fewer elements in array"));
            return false;
        }
        pool.push_back(decoded);
    }
    count = static_cast<std::uint32_t>(levels.size());
    return true;
}

}  // namespace vorn::decode_fields

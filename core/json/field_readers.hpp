#pragma once
// The readers of single record fields shared by the spec and the dataset: a JSON value as a
// signed 64-bit integer, an unsigned 32-bit integer or a 64-bit float, with the catalogue's
// failure texts ("invalid type: {found}, expected i64", ...) as parse errors. Inline: the dataset
// reads a few of them per record.
#include <cstdint>
#include <limits>

#include "core/json/failure_texts.hpp"
#include "core/json/value.hpp"
#include "core/result.hpp"

namespace vorn::json {

// An unsigned integer up to the signed maximum or any negative integer; floats are refused even
// when whole.
inline Result<std::int64_t> read_i64(const Value& found) {
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    switch (found.kind()) {
        case Kind::Unsigned:
            if (found.as_unsigned() <= kMax) return static_cast<std::int64_t>(found.as_unsigned());
            return VornError::parse(failure_text::invalid_value(found, "i64"));
        case Kind::Negative: return found.as_negative();
        default: return VornError::parse(failure_text::invalid_type(found, "i64"));
    }
}

// An unsigned integer up to 2^32 - 1; negative integers are out of range, floats refused.
inline Result<std::uint32_t> read_u32(const Value& found) {
    switch (found.kind()) {
        case Kind::Unsigned:
            if (found.as_unsigned() <= std::numeric_limits<std::uint32_t>::max()) {
                return static_cast<std::uint32_t>(found.as_unsigned());
            }
            return VornError::parse(failure_text::invalid_value(found, "u32"));
        case Kind::Negative: return VornError::parse(failure_text::invalid_value(found, "u32"));
        default: return VornError::parse(failure_text::invalid_type(found, "u32"));
    }
}

// Any number, integers converted to the nearest double.
inline Result<double> read_f64(const Value& found) {
    if (!found.is_number()) return VornError::parse(failure_text::invalid_type(found, "f64"));
    return found.to_double();
}

}  // namespace vorn::json

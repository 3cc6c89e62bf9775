#pragma once
// The texts of the failures met when a JSON value is read as a field of a record (a spec or a
// dataset record): one catalogue, so every reader spells them identically. Built only when a
// fault is reported, so they live out of line, away from the reading loops.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/json/value.hpp"

namespace vorn::json::failure_text {

// "invalid type: {found}, expected {expected}"
std::string invalid_type(const Value& found, std::string_view expected);
// "invalid value: {found}, expected {expected}"
std::string invalid_value(const Value& found, std::string_view expected);
// "invalid length {length}, expected {expected}"
std::string invalid_length(std::size_t length, std::string_view expected);
// "missing field `{field}`"
std::string missing_field(std::string_view field);
// "duplicate field `{field}`"
std::string duplicate_field(std::string_view field);
// "unknown variant `{name}`, expected `{first}` or `{second}`" for two variants, else
// "unknown variant `{name}`, expected one of `{a}`, `{b}`, ..."
std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants);

}  // namespace vorn::json::failure_text

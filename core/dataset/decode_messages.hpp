#pragma once
// The texts of dataset decoding failures. Built only when a fault is reported, so they live out of
// line, away from the decoding loops.
#include <cstddef>
#include <string>
#include <string_view>

#include "core/json/value.hpp"

namespace vorn::decode_messages {

// "invalid type: {found}, expected {expected}"
std::string invalid_type(const json::Value& found, std::string_view expected);
// "invalid value: {found}, expected {expected}"
std::string invalid_value(const json::Value& found, std::string_view expected);
// "invalid length {length}, expected {expected}"
std::string invalid_length(std::size_t length, std::string_view expected);
// "missing field `{field}`"
std::string missing_field(std::string_view field);
// "unknown variant `{name}`, expected `{first}` or `{second}`"
std::string unknown_variant(std::string_view name, std::string_view first, std::string_view second);

}  // namespace vorn::decode_messages

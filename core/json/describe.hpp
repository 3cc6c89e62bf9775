#pragma once
// How reading failures name the value they found ("null", "integer `5`", "sequence", ...).
#include <string>

#include "core/json/value.hpp"

namespace vorn::json {

std::string describe_value(const Value& value);

}  // namespace vorn::json

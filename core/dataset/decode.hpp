#pragma once
// Decoding the "dataset" member of a "load" command from the generic value tree.
#include "core/dataset/dataset.hpp"
#include "core/json/value.hpp"
#include "core/result.hpp"

namespace vorn {

// A Dataset, or a Parse error whose message is the decoding message (no position).
Result<Dataset> decode_dataset(const json::Value& value);

}  // namespace vorn

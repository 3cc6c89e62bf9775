// placeholder until the decoder lands
#include "core/dataset/decode.hpp"
namespace vorn {
Result<Dataset> decode_dataset(const json::Value&) { return VornError::parse("dataset decoder not implemented"); }
}

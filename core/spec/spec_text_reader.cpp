// placeholder: the direct text reader is built on the JSON cursor
#include "core/spec/read_spec.hpp"
namespace vorn {
Result<std::optional<VornSpec>> parse_spec_text(std::string_view) { return VornError::parse("spec text reader not implemented"); }
}

// placeholder until the spec readers land
#include "core/spec/read_spec.hpp"
namespace vorn {
Result<std::optional<VornSpec>> parse_spec_text(std::string_view) { return std::optional<VornSpec>(); }
Result<VornSpec> spec_from_value(const json::Value&) { return VornError::parse("spec reader not implemented"); }
Result<void> validate_spec(const VornSpec&) { return Result<void>::success(); }
}

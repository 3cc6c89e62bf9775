// placeholder until the descriptions land
#include "core/json/describe.hpp"
namespace vorn::json {
std::string describe_value(const Value&) { return "value"; }
}

// placeholder until the reply writers land
#include "core/output/write_reply.hpp"
namespace vorn {
std::string write_frame(const Frame&) { return "{}"; }
std::string write_bounds(const TimeBounds&) { return "{}"; }
}

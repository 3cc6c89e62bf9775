// placeholder until the frame computation lands
#include "core/frame/frame.hpp"
namespace vorn {
Result<Frame> compute_frame(const VornSpec& spec, const Dataset&, std::int64_t cursor) { return Frame{spec.symbol, cursor, {}}; }
}

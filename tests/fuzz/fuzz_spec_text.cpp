// The constructor's spec reader on arbitrary text. Failures are positioned Parse errors; when both
// the direct reader and the generic reader accept the text, the "set_spec" path reads the same spec.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/spec/read_spec.hpp"
#include "tests/fuzz/fuzz_checks.hpp"

namespace {

// Bitwise comparison of the parameters, so that NaN never arises and -0.0 differs from 0.0.
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_params(const vorn::VornPanel::Footprint& a, const vorn::VornPanel::Footprint& b) {
    return same_bits(a.price_bin, b.price_bin) && a.bucket_ms == b.bucket_ms;
}
bool same_params(const vorn::VornPanel::BookHeatmap& a, const vorn::VornPanel::BookHeatmap& b) {
    return same_bits(a.price_bin, b.price_bin) && a.bucket_ms == b.bucket_ms && a.depth_levels == b.depth_levels;
}
bool same_params(const vorn::VornPanel::LiquidationMap& a, const vorn::VornPanel::LiquidationMap& b) {
    return same_bits(a.price_bin, b.price_bin);
}
bool same_params(const vorn::VornPanel::FundingOiDivergence& a, const vorn::VornPanel::FundingOiDivergence& b) {
    return a.bucket_ms == b.bucket_ms;
}

bool same_panel(const vorn::VornPanel& a, const vorn::VornPanel& b) {
    if (a.value.index() != b.value.index()) return false;
    return std::visit(
        [&](const auto& pa) {
            using P = std::decay_t<decltype(pa)>;
            return same_params(pa, std::get<P>(b.value));
        },
        a.value);
}

bool same_spec(const vorn::VornSpec& a, const vorn::VornSpec& b) {
    if (a.dataset_ref != b.dataset_ref || a.symbol != b.symbol || a.from_ts != b.from_ts || a.to_ts != b.to_ts) return false;
    if (a.panels.size() != b.panels.size()) return false;
    for (std::size_t i = 0; i < a.panels.size(); ++i) {
        if (!same_panel(a.panels[i], b.panels[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto direct = vorn::parse_spec_text(text);
    if (!direct) {
        if (direct.error().kind != vorn::ErrorKind::Parse) vorn::fuzz::fail("spec text error kind", direct.error().message);
        if (!vorn::fuzz::ends_with_position(direct.error().message)) vorn::fuzz::fail("spec text error without position", direct.error().message);
        return 0;
    }
    if (!direct->has_value()) return 0;
    (void)vorn::validate_spec(**direct);
    auto doc = vorn::json::read_document(text);
    if (!doc) return 0;  // e.g. an unknown member nested deeper than the generic reader allows
    auto from_tree = vorn::spec_from_value(doc->root());
    if (!from_tree) vorn::fuzz::fail("set_spec path rejects a spec the constructor reads", from_tree.error().message);
    if (!same_spec(**direct, *from_tree)) vorn::fuzz::fail("the two spec paths disagree", text);
    return 0;
}

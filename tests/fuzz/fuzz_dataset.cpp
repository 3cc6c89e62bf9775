// Dataset decoding on arbitrary text: a decoded dataset prepares into time order, its record
// count and bounds agree, and a failure is a Parse error.
#include <cstdint>
#include <string_view>

#include "core/dataset/decode.hpp"
#include "core/dataset/prepare.hpp"
#include "tests/fuzz/fuzz_checks.hpp"

namespace {

template <class Record>
void check_sorted(const vorn::PodVector<Record>& records) {
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (records[i - 1].ts > records[i].ts) vorn::fuzz::fail("list not in ts order after preparation", "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto doc = vorn::json::read_document(text);
    if (!doc) return 0;
    auto dataset = vorn::decode_dataset(doc->root());
    if (!dataset) {
        if (dataset.error().kind != vorn::ErrorKind::Parse) vorn::fuzz::fail("decode error kind", dataset.error().message);
        if (vorn::fuzz::ends_with_position(dataset.error().message)) vorn::fuzz::fail("decode error with position", dataset.error().message);
        return 0;
    }
    vorn::Dataset& d = *dataset;
    std::uint64_t before = d.record_count();
    vorn::prepare_dataset(d);
    if (d.record_count() != before) vorn::fuzz::fail("preparation changed the record count", "");
    check_sorted(d.candles);
    check_sorted(d.trades);
    check_sorted(d.book);
    check_sorted(d.funding);
    check_sorted(d.oi);
    check_sorted(d.liquidations);
    for (const vorn::BookEvent& e : d.book) {
        if (e.first_level + e.bid_count + e.ask_count > d.levels.size()) vorn::fuzz::fail("book event levels out of the pool", "");
    }
    auto bounds = vorn::compute_bounds(d);
    if (bounds.has_value() != (before > 0)) vorn::fuzz::fail("bounds exist exactly when records do", "");
    if (bounds && (bounds->count != before || bounds->from_ts > bounds->to_ts)) vorn::fuzz::fail("bounds", "");
    return 0;
}

#include "core/dataset/window_cut.hpp"

#include <algorithm>
#include <span>
#include <vector>

namespace vorn {
namespace {

template <class Record>
std::span<const Record> records_between(const std::vector<Record>& records, std::optional<std::int64_t> from_ts,
                                        std::int64_t end) {
    auto first = records.begin();
    if (from_ts) {
        std::int64_t from = *from_ts;
        first = std::partition_point(records.begin(), records.end(), [from](const Record& r) { return r.ts < from; });
    }
    auto last = std::partition_point(first, records.end(), [end](const Record& r) { return r.ts <= end; });
    return {first, last};
}

}  // namespace

Window cut_window(const Dataset& dataset, std::optional<std::int64_t> from_ts, std::int64_t end) {
    return Window{
        records_between(dataset.candles, from_ts, end),
        records_between(dataset.trades, from_ts, end),
        records_between(dataset.book, from_ts, end),
        records_between(dataset.funding, from_ts, end),
        records_between(dataset.oi, from_ts, end),
        records_between(dataset.liquidations, from_ts, end),
        dataset.levels,
    };
}

}  // namespace vorn

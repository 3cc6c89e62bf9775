#include "core/dataset/window_cut.hpp"

#include <algorithm>
#include <span>
#include <vector>

namespace vorn {
namespace {

template <class Record>
std::span<const Record> records_between(const PodVector<Record>& records, std::optional<std::int64_t> from_ts,
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
    Window window;
    for_each_list(dataset, window, [&](const auto& list, auto& range) { range = records_between(list, from_ts, end); });
    window.levels = dataset.levels;
    window.first_event = static_cast<std::size_t>(window.book.data() - dataset.book.data());
    return window;
}

}  // namespace vorn

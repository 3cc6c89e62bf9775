#include "core/dataset/append.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "core/dataset/columns.hpp"
#include "core/dataset/prepare.hpp"

namespace vorn {
namespace {

// The first record of `added` that would break the time order of `list` once appended.
template <class Record>
Result<void> check_order(const PodVector<Record>& list, const PodVector<Record>& added, std::string_view name) {
    for (std::size_t row = 0; row < added.size(); ++row) {
        std::int64_t ts = added[row].ts;
        std::string what;
        if (row == 0 && !list.empty() && ts < list.back().ts) {
            what = std::to_string(ts) + " is before the list's last ts " + std::to_string(list.back().ts);
        } else if (row > 0 && ts < added[row - 1].ts) {
            what = std::to_string(ts) + " is before the previous row's ts " + std::to_string(added[row - 1].ts);
        } else {
            continue;
        }
        return VornError::parse(std::string(name) + ".ts row " + std::to_string(row) + ": " + what);
    }
    return Result<void>::success();
}

}  // namespace

Result<std::uint64_t> append_dataset(Dataset& dataset, const Dataset& added) {
    // Every list is checked before any changes; the first failure in list order is reported.
    std::optional<VornError> failure;
    std::size_t index = 0;
    for_each_list(dataset, added, [&](const auto& list, const auto& more) {
        if (Result<void> checked = check_order(list, more, column_lists()[index++].name); !checked && !failure) {
            failure = std::move(checked).error();
        }
    });
    if (failure) return std::move(*failure);
    // All room is taken before any record is copied, so running out of memory changes no list
    // (a list may only have grown its spare room).
    for_each_list(dataset, added, [](auto& list, const auto& more) { list.reserve_additional(more.size()); });
    dataset.levels.reserve_additional(added.levels.size());

    const std::size_t first_event = dataset.book.size();
    const std::uint64_t level_base = dataset.levels.size();
    for_each_list(dataset, added, [](auto& list, const auto& more) { list.append(more.begin(), more.end()); });
    dataset.levels.append(added.levels.begin(), added.levels.end());
    for (std::size_t i = first_event; i < dataset.book.size(); ++i) dataset.book[i].first_level += level_base;
    note_level_orders(dataset, first_event);
    return added.record_count();
}

}  // namespace vorn

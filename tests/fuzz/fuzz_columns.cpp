// Datasets from columns (the array path's load) on arbitrary bytes: the first byte chooses the
// lists given, then each column takes a row count from one byte and its values from the bytes
// that follow (zeros once they run out); a level column's count may disagree with the events'.
// A dataset either loads, and prepares into time order with one record per row, or fails naming
// a list of the table.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset/columns.hpp"
#include "core/dataset/prepare.hpp"
#include "tests/fuzz/fuzz_checks.hpp"

namespace {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // `count` values of `width` bytes, the input's next bytes then zeros.
    std::vector<std::uint8_t> take(std::size_t count, std::size_t width) {
        std::vector<std::uint8_t> out(count * width, 0);
        std::size_t n = std::min(out.size(), size_ - pos_);
        if (n) std::memcpy(out.data(), data_ + pos_, n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::size_t width(vorn::ColumnType type) { return type == vorn::ColumnType::Code ? 1 : 8; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes bytes(data, size);
    const std::uint8_t present = bytes.byte();
    vorn::DatasetColumns columns;
    std::vector<std::vector<std::uint8_t>> storage;
    storage.reserve(64);
    std::size_t rows_given = 0;
    const auto lists = vorn::column_lists();
    for (std::size_t i = 0; i < lists.size(); ++i) {
        if (!(present & (1u << i))) continue;
        std::vector<vorn::ColumnData>& list = columns.lists[i].emplace();
        for (const vorn::ColumnField& field : lists[i].fields) {
            std::size_t rows = bytes.byte() % 24;
            storage.push_back(bytes.take(rows, width(field.type)));
            list.push_back({storage.back().data(), rows});
        }
        if (!list.empty() && lists[i].name != "book") rows_given += list.front().rows;
    }
    vorn::Result<vorn::Dataset> dataset = vorn::dataset_from_columns(columns);
    if (!dataset) {
        const std::string& message = dataset.error().message;
        bool named = false;
        for (const vorn::ColumnList& list : lists) named = named || message.rfind(std::string(list.name), 0) == 0;
        if (!named) vorn::fuzz::fail("a column failure that names no list", message);
        return 0;
    }
    vorn::Dataset prepared = std::move(dataset).value();
    const std::uint64_t before = prepared.record_count();
    vorn::prepare_dataset(prepared);
    if (prepared.record_count() != before) vorn::fuzz::fail("preparation changed the record count", "");
    if (before < rows_given) vorn::fuzz::fail("rows were lost", "");
    for (std::size_t k = 1; k < prepared.trades.size(); ++k) {
        if (prepared.trades[k - 1].ts > prepared.trades[k].ts) vorn::fuzz::fail("trades not in ts order", "");
    }
    for (std::size_t k = 1; k < prepared.book.size(); ++k) {
        if (prepared.book[k - 1].ts > prepared.book[k].ts) vorn::fuzz::fail("book not in ts order", "");
    }
    return 0;
}

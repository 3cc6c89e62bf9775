#pragma once
// The cells of a panel's grid (row-major doubles): either a block of the panel's own, or the
// leading cells of a block shared with the panels of other frames. A shared block is never
// written again where a frame sees it, so a frame whose rows are those of the previous frame plus
// some takes them without a copy (see book_heatmap_carry.hpp).
#include <cstddef>
#include <memory>
#include <utility>

#include "core/runtime/pod_vector.hpp"

namespace vorn {

class GridCells {
public:
    GridCells() = default;
    GridCells(const GridCells& other) { assign(other.begin(), other.end()); }
    GridCells(GridCells&& other) noexcept { take(other); }
    GridCells& operator=(const GridCells& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    GridCells& operator=(GridCells&& other) noexcept {
        if (this != &other) take(other);
        return *this;
    }

    const double* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const double* begin() const { return data_; }
    const double* end() const { return data_ + size_; }
    const double& operator[](std::size_t i) const { return data_[i]; }

    // `size` cells of its own, left as they were in memory for the caller to write.
    double* resize_for_overwrite(std::size_t size) {
        own_.resize_for_overwrite(size);
        shared_.reset();
        data_ = own_.data();
        size_ = size;
        return own_.data();
    }
    template <class It>
    void assign(It first, It last) {
        own_.assign(first, last);
        shared_.reset();
        data_ = own_.data();
        size_ = own_.size();
    }
    // The first `size` cells of `block`, which is never written there again.
    void share(std::shared_ptr<const PodVector<double>> block, std::size_t size) noexcept {
        own_ = PodVector<double>();
        shared_ = std::move(block);
        data_ = shared_->data();
        size_ = size;
    }

private:
    void take(GridCells& other) noexcept {
        own_ = std::move(other.own_);
        shared_ = std::move(other.shared_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }

    PodVector<double> own_;
    std::shared_ptr<const PodVector<double>> shared_;
    const double* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vorn

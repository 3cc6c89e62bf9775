#pragma once
// A vector of trivially copyable values in one block that grows in place (see block_memory): a
// large block grows by remapping its pages, so a list of records that is filled one by one (its
// length unknown until it ends) never has two copies resident, and the spare room left by
// doubling costs address space, not memory, until it is written. `shrink_to_fit` gives that room
// back without copying. Failing to allocate throws std::bad_alloc, as std::vector does.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "core/runtime/block_memory.hpp"

namespace vorn {

template <class T>
class PodVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    PodVector() = default;
    PodVector(std::initializer_list<T> values) { assign(values.begin(), values.end()); }
    PodVector(const PodVector& other) { assign(other.begin(), other.end()); }
    PodVector(PodVector&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PodVector& operator=(const PodVector& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    PodVector& operator=(PodVector&& other) noexcept {
        if (this != &other) {
            block_memory::release(data_, capacity_ * sizeof(T));
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    PodVector& operator=(std::initializer_list<T> values) {
        assign(values.begin(), values.end());
        return *this;
    }
    ~PodVector() { block_memory::release(data_, capacity_ * sizeof(T)); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }

    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& front() { return data_[0]; }
    const T& front() const { return data_[0]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }

    void clear() { size_ = 0; }
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) reallocate(capacity);
    }
    // Room for `count` more values, growing as push_back does (doubling), so appending a little at
    // a time costs amortised constant time per value.
    void reserve_additional(std::size_t count) {
        if (count > capacity_ - size_) grow(size_ + count);
    }
    // New values are zero.
    void resize(std::size_t size) {
        reserve(size);
        if (size > size_) std::memset(static_cast<void*>(data_ + size_), 0, (size - size_) * sizeof(T));
        size_ = size;
    }
    // New values are left as they were in memory, for a caller that writes every one: no pass
    // over memory the caller is about to fill anyway.
    void resize_for_overwrite(std::size_t size) {
        if (size > capacity_) reallocate(size, block_memory::Filling::AtOnce);
        size_ = size;
    }
    void push_back(const T& value) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = value;
    }
    // Room for one more value at the end, returned uninitialised for the caller to fill.
    T& emplace_back_uninitialized() {
        if (size_ == capacity_) grow(size_ + 1);
        return data_[size_++];
    }
    // Appends [first, last) (which must not point into this vector).
    template <class It>
    void append(It first, It last) {
        const auto count = static_cast<std::size_t>(std::distance(first, last));
        if (count > capacity_ - size_) grow(size_ + count);
        std::copy(first, last, data_ + size_);
        size_ += count;
    }
    template <class It>
    void assign(It first, It last) {
        clear();
        append(first, last);
    }
    // Gives the room beyond the values back to the C library (a large block shrinks in place).
    void shrink_to_fit() {
        if (capacity_ == size_) return;
        if (size_ == 0) {
            block_memory::release(std::exchange(data_, nullptr), capacity_ * sizeof(T));
            capacity_ = 0;
            return;
        }
        if (void* trimmed = block_memory::resize(data_, capacity_ * sizeof(T), size_ * sizeof(T))) {
            data_ = static_cast<T*>(trimmed);
            capacity_ = size_;
        }
    }

private:
    // Doubles the capacity, or more if `needed` asks for more.
    void grow(std::size_t needed) { reallocate(std::max({needed, capacity_ * 2, std::size_t{16}})); }
    void reallocate(std::size_t capacity, block_memory::Filling filling = block_memory::Filling::Growing) {
        if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* grown = block_memory::resize(data_, capacity_ * sizeof(T), capacity * sizeof(T), filling);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vorn

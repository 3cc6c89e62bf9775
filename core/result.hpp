#pragma once
// Result<T>: either a value or a VornError. Result<void> carries only the possible error.
#include <optional>
#include <utility>
#include <variant>

#include "core/error.hpp"

namespace vorn {

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(VornError error) : data_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return data_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return *std::get_if<0>(&data_); }
    const T& value() const& { return *std::get_if<0>(&data_); }
    T&& value() && { return std::move(*std::get_if<0>(&data_)); }
    T* operator->() { return std::get_if<0>(&data_); }
    const T* operator->() const { return std::get_if<0>(&data_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const VornError& error() const& { return *std::get_if<1>(&data_); }
    VornError&& error() && { return std::move(*std::get_if<1>(&data_)); }

private:
    std::variant<T, VornError> data_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(VornError error) : error_(std::move(error)) {}

    static Result success() { return Result(); }

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    const VornError& error() const& { return *error_; }
    VornError&& error() && { return std::move(*error_); }

private:
    std::optional<VornError> error_;
};

}  // namespace vorn

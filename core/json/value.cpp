#include "core/json/value.hpp"

#include <algorithm>

namespace vorn::json {

std::optional<Value> Value::find(std::string_view key) const {
    if (kind_ != Kind::Object) return std::nullopt;
    if (size_ == 0) return std::nullopt;
    const std::string_view* keys = body_->shape->keys();
    const std::string_view* it = std::lower_bound(keys, keys + size_, key);
    if (it == keys + size_ || *it != key) return std::nullopt;
    return Value::of(body_->values()[it - keys]);
}

}  // namespace vorn::json

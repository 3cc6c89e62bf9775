#pragma once
// Builds generic value trees by hand for decoder tests, independent of the text reader. Objects
// follow the tree's rules: members sorted by key bytes, the last repeated key wins.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json/value.hpp"

namespace vorn::test {

class ValueTree {
public:
    json::Value null() const { return json::Value::null(); }
    json::Value boolean(bool b) const { return json::Value::boolean(b); }
    json::Value u(std::uint64_t n) const { return json::Value::unsigned_integer(n); }
    // Any integer: unsigned when not negative.
    json::Value i(std::int64_t n) const {
        return n < 0 ? json::Value::negative_integer(n) : json::Value::unsigned_integer(static_cast<std::uint64_t>(n));
    }
    json::Value f(double x) const { return json::Value::floating(x); }
    json::Value s(std::string_view text) {
        const std::string& kept = strings_.emplace_back(text);
        return json::Value::string(kept.data(), static_cast<std::uint32_t>(kept.size()));
    }
    json::Value arr(std::vector<json::Value> elements) {
        const std::vector<json::Value>& kept = arrays_.emplace_back(std::move(elements));
        return json::Value::array(kept.data(), static_cast<std::uint32_t>(kept.size()));
    }
    json::Value obj(std::initializer_list<std::pair<std::string_view, json::Value>> members) {
        std::vector<json::Member> sorted;
        for (const auto& [key, value] : members) {
            const std::string& kept = strings_.emplace_back(key);
            auto same = std::find_if(sorted.begin(), sorted.end(), [&](const json::Member& m) { return m.key == kept; });
            if (same != sorted.end()) {
                same->value = value;
            } else {
                sorted.push_back(json::Member{kept, value});
            }
        }
        std::sort(sorted.begin(), sorted.end(), [](const json::Member& a, const json::Member& b) { return a.key < b.key; });
        const std::vector<json::Member>& kept = objects_.emplace_back(std::move(sorted));
        return json::Value::object(kept.data(), static_cast<std::uint32_t>(kept.size()));
    }

private:
    // Deques keep every element in place, so values may point into them.
    std::deque<std::string> strings_;
    std::deque<std::vector<json::Value>> arrays_;
    std::deque<std::vector<json::Member>> objects_;
};

}  // namespace vorn::test

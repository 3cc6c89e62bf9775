#pragma once
// Builds generic value trees by hand for decoder tests, independent of the text reader. Objects
// follow the tree's rules: members sorted by key bytes, the last repeated key wins.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json/arena.hpp"
#include "core/json/store.hpp"
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
    json::Value s(std::string_view text) { return json::Value::of(json::copy_string(text, arena_)); }
    json::Value arr(std::vector<json::Value> elements) {
        std::vector<json::Node> nodes;
        for (const json::Value& e : elements) nodes.push_back(json::store_value(e, arena_));
        return json::Value::of(json::store_array(nodes, arena_));
    }
    json::Value obj(std::initializer_list<std::pair<std::string_view, json::Value>> members) {
        std::vector<std::pair<std::string_view, json::Value>> sorted;
        for (const auto& member : members) {
            auto same = std::find_if(sorted.begin(), sorted.end(), [&](const auto& m) { return m.first == member.first; });
            if (same != sorted.end()) {
                same->second = member.second;
            } else {
                sorted.push_back(member);
            }
        }
        std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::string_view> keys;
        std::vector<json::Node> values;
        for (const auto& [key, value] : sorted) {
            std::string_view kept;
            json::copy_string(key, arena_, &kept);
            keys.push_back(kept);
            values.push_back(json::store_value(value, arena_));
        }
        return json::Value::of(json::store_object(json::store_shape(keys, arena_), values, arena_));
    }

private:
    json::Arena arena_;
};

}  // namespace vorn::test

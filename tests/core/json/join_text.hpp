#pragma once
// Joins text pieces by appending: building test texts with `"literal" + std::string` trips a
// false -Wrestrict warning of g++ 12 at -O3.
#include <string>

namespace vorn::json::testing_text {

template <class... Pieces>
std::string cat(const Pieces&... pieces) {
    std::string out;
    (out.append(pieces), ...);
    return out;
}

}  // namespace vorn::json::testing_text

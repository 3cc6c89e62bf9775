// What a caught exception becomes at the engine's boundaries: memory exhaustion is "out of
// memory", and nothing else is mistaken for it.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace vorn {
namespace {

struct ThrownCase {
    std::string name;
    std::function<void()> raise;
    std::string expected;
};

class CurrentExceptionError : public testing::TestWithParam<ThrownCase> {};

TEST_P(CurrentExceptionError, NamesWhatWasThrown) {
    VornError error{ErrorKind::Parse, "unset"};
    try {
        GetParam().raise();
    } catch (...) {
        error = current_exception_error();
    }
    EXPECT_EQ(error.display(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Thrown, CurrentExceptionError, testing::Values(
    ThrownCase{"bad_alloc", [] { throw std::bad_alloc(); }, "data: out of memory"},
    ThrownCase{"array_new_length", [] { throw std::bad_array_new_length(); }, "data: out of memory"},
    ThrownCase{"container_too_long", [] { std::vector<int>().reserve(std::vector<int>().max_size() + 1); },
               "data: out of memory"},
    ThrownCase{"logic_fault", [] { throw std::out_of_range("index 7 past 3"); }, "data: internal error: index 7 past 3"},
    ThrownCase{"runtime_fault", [] { throw std::runtime_error("bad state"); }, "data: internal error: bad state"},
    ThrownCase{"not_an_exception", [] { throw 42; }, "data: internal error"}),
    [](const testing::TestParamInfo<ThrownCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vorn

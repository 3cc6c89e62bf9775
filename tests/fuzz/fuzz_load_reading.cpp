// The two ways a load is read, on arbitrary text: the input is the "dataset" member of a load
// command (so the fuzzer works where the records are; it can still close the command early and
// write root members of its own). Straight from the text and through the value tree, the reply
// and the data left behind are the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/command/dispatch.hpp"
#include "tests/core/support/same_dataset.hpp"
#include "tests/fuzz/fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string command = R"({"cmd":"load","dataset":)";
    command.append(reinterpret_cast<const char*>(data), size);
    command.push_back('}');
    vorn::HandleState direct;
    vorn::HandleState tree;
    const std::string direct_reply = vorn::dispatch_command(direct, command, vorn::LoadReading::Direct);
    const std::string tree_reply = vorn::dispatch_command(tree, command, vorn::LoadReading::Tree);
    if (direct_reply != tree_reply) vorn::fuzz::fail("the replies differ", direct_reply + " / " + tree_reply);
    const std::string difference = vorn::testing_support::dataset_difference(direct.dataset, tree.dataset);
    if (!difference.empty()) vorn::fuzz::fail("the data differ", difference);
    return 0;
}

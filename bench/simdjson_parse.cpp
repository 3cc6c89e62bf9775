// Times simdjson's DOM parse of one file: the reference for how fast a command text can be read.
//
// Usage: simdjson_parse FILE [REPEATS]
// Prints one JSON line: the size in bytes, the seconds of every parse with a parser that is
// reused (its buffers already sized, as a long-lived reader would hold them), the seconds of a
// first parse with a fresh parser (allocation included), and the element count of the document
// (walked once, untimed, so the parse cannot be skipped and the result is checked).
//
// Build: g++ -O2 -std=c++17 bench/simdjson_parse.cpp -lsimdjson -o simdjson_parse
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Counts every value of the document with an explicit stack (documents may nest deeply).
std::uint64_t count_elements(simdjson::dom::element root) {
    std::vector<simdjson::dom::element> stack{root};
    std::uint64_t count = 0;
    while (!stack.empty()) {
        simdjson::dom::element e = stack.back();
        stack.pop_back();
        ++count;
        simdjson::dom::array array;
        simdjson::dom::object object;
        if (e.get_array().get(array) == simdjson::SUCCESS) {
            for (simdjson::dom::element child : array) stack.push_back(child);
        } else if (e.get_object().get(object) == simdjson::SUCCESS) {
            for (simdjson::dom::key_value_pair field : object) stack.push_back(field.value);
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    simdjson::padded_string text;
    if (auto error = simdjson::padded_string::load(argv[1]).get(text); error) {
        std::fprintf(stderr, "cannot read %s: %s\n", argv[1], simdjson::error_message(error));
        return 1;
    }

    double fresh_seconds = 0;
    {
        auto start = std::chrono::steady_clock::now();
        simdjson::dom::parser fresh;
        simdjson::dom::element doc;
        if (auto error = fresh.parse(text).get(doc); error) {
            std::fprintf(stderr, "parse failed: %s\n", simdjson::error_message(error));
            return 1;
        }
        fresh_seconds = seconds_since(start);
    }

    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    std::vector<double> reused;
    for (int i = 0; i < repeats; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (auto error = parser.parse(text).get(doc); error) {
            std::fprintf(stderr, "parse failed: %s\n", simdjson::error_message(error));
            return 1;
        }
        reused.push_back(seconds_since(start));
    }
    const std::uint64_t elements = count_elements(doc);

    std::printf("{\"bytes\":%zu,\"fresh_seconds\":%.9f,\"reused_seconds\":[", text.size(), fresh_seconds);
    for (std::size_t i = 0; i < reused.size(); ++i) std::printf("%s%.9f", i ? "," : "", reused[i]);
    std::printf("],\"elements\":%llu,\"implementation\":\"%s\"}\n", static_cast<unsigned long long>(elements),
                simdjson::get_active_implementation()->name().c_str());
    return 0;
}

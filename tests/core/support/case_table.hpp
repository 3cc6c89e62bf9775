#pragma once
// Tables of test cases kept in data files under tests/data, shared by the C++ and the Python
// tests: one case per line, fields separated by tabs, lines starting with '#' ignored. Fields
// escape a backslash as \\, tab, line feed and carriage return as \t, \n and \r, and any byte as
// \xHH.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#ifndef VORN_TEST_DATA_DIR
#error "VORN_TEST_DATA_DIR names the folder of the case tables"
#endif

namespace vorn::testing_support {

inline std::string unescape_field(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        char next = field[++i];
        if (next == 't') {
            out += '\t';
        } else if (next == 'n') {
            out += '\n';
        } else if (next == 'r') {
            out += '\r';
        } else if (next == 'x' && i + 2 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

// The rows of tests/data/<name>, each a list of `fields` unescaped fields. A table that cannot be
// read, or a row with another number of fields, ends the test program with a message (its cases
// would otherwise silently not run).
inline std::vector<std::vector<std::string>> read_case_table(const std::string& name, std::size_t fields) {
    std::ifstream in(std::string(VORN_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read the case table %s/%s\n", VORN_TEST_DATA_DIR, name.c_str());
        std::exit(2);
    }
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> row;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            row.push_back(unescape_field(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (row.size() != fields) {
            std::fprintf(stderr, "a row of %s has %zu fields, not %zu: %s\n", name.c_str(), row.size(), fields, line.c_str());
            std::exit(2);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace vorn::testing_support

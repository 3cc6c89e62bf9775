#pragma once
// The "load" command of a dataset file, read straight into the command text: the file's bytes sit
// between a head and a tail, each dataset line one below its line in the file, so no second copy
// of the file is ever made.
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace vorn {

// `{"cmd":"load","dataset":` and a line break: a position the reader reports on line L column C
// lies on line L - 1 column C of the file.
inline constexpr std::string_view kLoadFileHead = "{\"cmd\":\"load\",\"dataset\":\n";
inline constexpr std::string_view kLoadFileTail = "\n}";

struct LoadFileCommand {
    std::unique_ptr<char[]> storage;
    std::size_t size = 0;
    // Set when reading failed: the errno value.
    int read_error = 0;
    // Set when the file is not UTF-8: the file offset of the first ill-formed byte.
    std::optional<std::size_t> invalid_utf8_at;

    bool ok() const { return read_error == 0 && !invalid_utf8_at; }
    std::string_view text() const { return {storage.get(), size}; }
    // The lines of the file as read (its line breaks plus one), to place positions in it.
    std::size_t file_lines() const;
};

// Reads the file at `path` (regular or not: pipes and devices are read to their end, at most
// `max_bytes`, beyond which the read fails with EFBIG) and checks that it is UTF-8. Reading stops
// after the first NUL byte, which no JSON text holds: the reply is the same without the rest.
// May throw std::bad_alloc.
LoadFileCommand read_load_file_command(const char* path, std::size_t max_bytes);

}  // namespace vorn

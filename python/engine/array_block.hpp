#pragma once
// Block: values computed by the engine, handed to Python without a copy through the buffer
// protocol. A block keeps alive the engine object that owns its memory (a frame), so NumPy views
// of it (numpy.asarray, numpy.frombuffer) stay valid for as long as they are used.
#include <cstddef>
#include <memory>
#include <optional>

#include "python/common/python_api.hpp"

namespace vorn::python {

// The element types a block exports: their buffer format characters.
enum class BlockFormat : char { Float64 = 'd', Int64 = 'q', Bytes = 'B' };

// The class object, created on first use and kept for the process. New reference or null.
PyObject* block_type();

// A 1-D block of `rows` elements, or with `columns` given a C-contiguous 2-D block of rows by
// columns. `data` points into memory that `owner` keeps alive. New reference, or null with an
// exception set.
PyObject* make_block(std::shared_ptr<const void> owner, const void* data, BlockFormat format, std::size_t rows,
                     std::optional<std::size_t> columns = std::nullopt);

}  // namespace vorn::python

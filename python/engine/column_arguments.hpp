#pragma once
// The columns of a load_columns call: per list a dict of field name to a C-contiguous 1-D buffer of
// the field's type (int64, float64 or uint8 codes), held for as long as the engine reads them.
#include <memory>
#include <vector>

#include "core/dataset/columns.hpp"
#include "python/common/python_api.hpp"

namespace vorn::python {

class ColumnArguments {
public:
    ColumnArguments() = default;
    ColumnArguments(const ColumnArguments&) = delete;
    ColumnArguments& operator=(const ColumnArguments&) = delete;
    ~ColumnArguments();

    // Takes the keyword arguments (list name -> dict or None). False with TypeError for an unknown
    // list or a list that is not a dict, ValueError for a missing field or a buffer of the wrong
    // type or shape.
    // `method` names the call in those messages.
    bool read(PyObject* kwargs, const char* method);

    const DatasetColumns& columns() const { return columns_; }

private:
    bool read_list(std::size_t index, PyObject* fields);

    DatasetColumns columns_;
    std::vector<std::unique_ptr<Py_buffer>> buffers_;
};

}  // namespace vorn::python

#include "python/engine/column_arguments.hpp"

#include <string_view>

namespace vorn::python {
namespace {

// The buffer format a column of each type must have: NumPy's int64 is "l" or "q", either may carry
// a native byte-order prefix.
bool format_matches(const char* format, ColumnType type) {
    std::string_view f = format == nullptr ? "B" : format;
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
    switch (type) {
        case ColumnType::Int64: return f == "q" || f == "l";
        case ColumnType::Float64: return f == "d";
        case ColumnType::Code: return f == "B";
    }
    return false;
}

const char* type_name(ColumnType type) {
    switch (type) {
        case ColumnType::Int64: return "int64";
        case ColumnType::Float64: return "float64";
        case ColumnType::Code: return "uint8";
    }
    return "";
}

}  // namespace

ColumnArguments::~ColumnArguments() {
    for (std::unique_ptr<Py_buffer>& view : buffers_) PyBuffer_Release(view.get());
}

bool ColumnArguments::read(PyObject* kwargs, const char* method) {
    if (kwargs == nullptr) return true;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        std::size_t index = kListCount;
        for (std::size_t i = 0; i < kListCount; ++i) {
            std::string_view name = column_lists()[i].name;
            if (PyUnicode_CompareWithASCIIString(key, std::string(name).c_str()) == 0) index = i;
        }
        if (index == kListCount) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method, key);
            return false;
        }
        if (value == Py_None) continue;
        if (!PyDict_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s(): %U must be a dict of field name to column", method, key);
            return false;
        }
        if (!read_list(index, value)) return false;
    }
    return true;
}

bool ColumnArguments::read_list(std::size_t index, PyObject* fields) {
    const ColumnList& list = column_lists()[index];
    std::vector<ColumnData>& out = columns_.lists[index].emplace();
    for (const ColumnField& field : list.fields) {
        std::string name(field.name);
        PyObject* column = PyDict_GetItemString(fields, name.c_str());
        if (column == nullptr) {
            PyErr_Format(PyExc_ValueError, "%s: missing field '%s'", std::string(list.name).c_str(), name.c_str());
            return false;
        }
        auto view = std::make_unique<Py_buffer>();
        if (PyObject_GetBuffer(column, view.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s.%s: expected a contiguous 1-D %s column, got %s",
                         std::string(list.name).c_str(), name.c_str(), type_name(field.type),
                         Py_TYPE(column) == nullptr ? "?" : "an object without a contiguous buffer");
            return false;
        }
        Py_buffer* held = view.get();
        buffers_.push_back(std::move(view));
        std::size_t item = field.type == ColumnType::Code ? 1 : 8;
        if (held->ndim != 1 || !format_matches(held->format, field.type) ||
            static_cast<std::size_t>(held->itemsize) != item) {
            PyErr_Format(PyExc_ValueError, "%s.%s: expected a contiguous 1-D %s column, got format '%s' with %d dimensions",
                         std::string(list.name).c_str(), name.c_str(), type_name(field.type),
                         held->format == nullptr ? "B" : held->format, held->ndim);
            return false;
        }
        out.push_back(ColumnData{held->buf, static_cast<std::size_t>(held->len) / item});
    }
    return true;
}

}  // namespace vorn::python

#include "python/module/bind_argument.hpp"

namespace vorn::python {
namespace {

// Collects the one value while keywords are visited, in the interpreter's order of checks:
// keyword errors first, then surplus positional arguments, then the missing argument.
class Binder {
public:
    Binder(const char* function, const char* parameter, PyObject* first_positional, Py_ssize_t nargs)
        : function_(function), parameter_(parameter), nargs_(nargs), value_(first_positional) {}

    // False with TypeError set when the keyword cannot be bound.
    bool keyword(PyObject* name, PyObject* value) {
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function_);
            return false;
        }
        if (PyUnicode_CompareWithASCIIString(name, parameter_) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, name);
            return false;
        }
        if (value_ != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, parameter_);
            return false;
        }
        value_ = value;
        return true;
    }

    PyObject* finish() const {
        if (nargs_ > 1) {
            PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function_, nargs_);
            return nullptr;
        }
        if (value_ == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", function_, parameter_);
            return nullptr;
        }
        return value_;
    }

private:
    const char* function_;
    const char* parameter_;
    Py_ssize_t nargs_;
    PyObject* value_;
};

}  // namespace

PyObject* bind_argument(const char* function, const char* parameter, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return nullptr;
    Binder binder(function, parameter, nargs > 0 ? PyTuple_GetItem(args, 0) : nullptr, nargs);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!binder.keyword(name, value)) return nullptr;
        }
    }
    return binder.finish();
}

PyObject* bind_argument(const char* function, const char* parameter, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    Binder binder(function, parameter, nargs > 0 ? args[0] : nullptr, nargs);
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!binder.keyword(PyTuple_GetItem(kwnames, i), args[nargs + i])) return nullptr;
        }
    }
    return binder.finish();
}

}  // namespace vorn::python

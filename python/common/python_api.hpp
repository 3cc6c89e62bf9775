#pragma once
// The interpreter's C interface as this module uses it: the stable ABI of CPython 3.11 (the build
// defines Py_LIMITED_API), with Py_ssize_t lengths for the argument parsers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace vorn::python {

// Interpreter versions as Py_Version encodes them; compared at run time, because one abi3 binary
// serves every interpreter from 3.11 on.
inline constexpr unsigned long kPython312 = 0x030C0000UL;

// Turns a function of any method signature into the PyCFunction that PyMethodDef stores; the
// detour through a parameterless function type keeps -Wcast-function-type quiet.
template <class Function>
PyCFunction as_py_cfunction(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A new reference released when it goes out of scope (null allowed): every exit of a function
// gives back what it took, without a release written on each path.
struct ReleaseReference {
    void operator()(PyObject* object) const { Py_DECREF(object); }
};
using OwnedRef = std::unique_ptr<PyObject, ReleaseReference>;

// The tuple (first, second), taking over both new references; either may be null (its creation
// failed, with the Python error set), and then so is the result.
inline PyObject* pair_of_new(PyObject* first, PyObject* second) {
    PyObject* pair = first != nullptr && second != nullptr ? PyTuple_Pack(2, first, second) : nullptr;
    Py_XDECREF(first);
    Py_XDECREF(second);
    return pair;
}

}  // namespace vorn::python

#pragma once
// The interpreter's C interface as this module uses it: the stable ABI of CPython 3.11 (the build
// defines Py_LIMITED_API), with Py_ssize_t lengths for the argument parsers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace vorn::python

#pragma once
// Binding of the single parameter of the Vorn constructor and of `command`: by position or by
// keyword, exactly once. Failures raise TypeError in the interpreter's wording for Python
// functions, naming the function and the argument concerned.
#include "python/common/python_api.hpp"

namespace vorn::python {

// The parameter's value from a call with an argument tuple and an optional keyword dict (the
// constructor slot). Borrowed reference, or null with TypeError set.
PyObject* bind_argument(const char* function, const char* parameter, PyObject* args, PyObject* kwargs);

// The same for a vectorcall-style call: `nargs` positional values, then one value per name of the
// optional `kwnames` tuple.
PyObject* bind_argument(const char* function, const char* parameter, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

}  // namespace vorn::python

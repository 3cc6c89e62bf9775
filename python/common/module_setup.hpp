#pragma once
// What the native modules' initialisation shares: public names listed in `__all__`, the refusal of
// sub-interpreters (their classes are process-wide) and the slots offered to each interpreter.
#include "python/common/python_api.hpp"

namespace vorn::python {

// Appends `name` to the module's `__all__` (created as an empty list when absent), then sets the
// attribute. Borrows `value`.
int add_name(PyObject* module, const char* name, PyObject* value);
// As add_name, taking over `value`, a new reference (null when its creation failed: then -1).
int add_new(PyObject* module, const char* name, PyObject* value);

// 0 in the main interpreter; -1 with ImportError "<module> can only be imported in the main
// interpreter" elsewhere, or TypeError when `module` is not a module object.
int check_main_interpreter(PyObject* module, const char* module_name);

// A module's definition, kept for the life of the process (one static instance per module).
struct ModuleDefinition {
    PyModuleDef def;
    PyModuleDef_Slot slots[3];
};

// The module initialisation function's work: fills `module` with `name`, `doc` and the slots for
// this interpreter (`exec` alone on 3.11; from 3.12 on also the declaration that the module does
// not support several interpreters, a slot 3.11 would reject) and returns the multi-phase
// definition.
PyObject* init_module(ModuleDefinition& module, const char* name, const char* doc, int (*exec)(PyObject*));

}  // namespace vorn::python

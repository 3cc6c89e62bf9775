#include "python/common/module_setup.hpp"

namespace vorn::python {
namespace {

// The interpreter's multiple-interpreters slot (3.12 on). The headers of the 3.11 stable ABI do
// not name it, and a 3.11 interpreter rejects unknown slot ids, so it is declared by number and
// offered only to interpreters that know it.
constexpr int kMultipleInterpretersSlot = 3;
void* const kMultipleInterpretersNotSupported = nullptr;

}  // namespace

int add_name(PyObject* module, const char* name, PyObject* value) {
    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return -1;
    }
    OwnedRef listed(PyUnicode_FromString(name));
    if (listed == nullptr || PyList_Append(all.get(), listed.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int add_new(PyObject* module, const char* name, PyObject* value) {
    OwnedRef owned(value);
    if (owned == nullptr) return -1;
    return add_name(module, name, owned.get());
}

int check_main_interpreter(PyObject* module, const char* module_name) {
    // Interpreters from 3.12 on already refuse isolated sub-interpreters through the slot; this
    // also covers 3.11 and legacy sub-interpreters.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
        PyErr_Format(PyExc_ImportError, "%s can only be imported in the main interpreter", module_name);
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "%s can only initialise a module object", module_name);
        return -1;
    }
    return 0;
}

PyObject* init_module(ModuleDefinition& module, const char* name, const char* doc, int (*exec)(PyObject*)) {
    PyModuleDef_Slot* slots = module.slots;
    slots[0] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
    if (Py_Version >= kPython312) {
        slots[1] = {kMultipleInterpretersSlot, kMultipleInterpretersNotSupported};
        slots[2] = {0, nullptr};
    } else {
        slots[1] = {0, nullptr};
    }
    module.def = PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&module.def);
}

}  // namespace vorn::python

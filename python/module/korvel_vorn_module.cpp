// The module `_korvel_vorn`: multi-phase initialisation whose exec slot adds `__version__` and the
// class `Vorn`, each also listed in `__all__`.
#include "core/command/dispatch.hpp"
#include "python/module/python_api.hpp"
#include "python/module/vorn_type.hpp"

namespace vorn::python {
namespace {

// The interpreter's multiple-interpreters slot (3.12 on). The headers of the 3.11 stable ABI do
// not name it, and a 3.11 interpreter rejects unknown slot ids, so it is declared by number and
// offered only to interpreters that know it.
constexpr int kMultipleInterpretersSlot = 3;
void* const kMultipleInterpretersNotSupported = nullptr;

// Appends `name` to the module's `__all__` (created as an empty list when absent), then sets the
// attribute. Borrows `value`.
int add_name(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return -1;
    }
    PyObject* listed = PyUnicode_FromString(name);
    int appended = listed == nullptr ? -1 : PyList_Append(all, listed);
    Py_XDECREF(listed);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
    // The class object is process-wide, so only the main interpreter may hold it. Interpreters
    // from 3.12 on already refuse isolated sub-interpreters through the slot; this also covers
    // 3.11 and legacy sub-interpreters.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
        PyErr_SetString(PyExc_ImportError, "_korvel_vorn can only be imported in the main interpreter");
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_korvel_vorn can only initialise a module object");
        return -1;
    }
    PyObject* version = PyUnicode_FromString(kVersion);
    if (version == nullptr) return -1;
    int added = add_name(module, "__version__", version);
    Py_DECREF(version);
    if (added < 0) return -1;

    PyObject* vorn_class = vorn_type();
    if (vorn_class == nullptr) return -1;
    added = add_name(module, "Vorn", vorn_class);
    Py_DECREF(vorn_class);
    return added < 0 ? -1 : 0;
}

PyModuleDef_Slot slots_3_11[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef_Slot slots_3_12[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {kMultipleInterpretersSlot, kMultipleInterpretersNotSupported},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_korvel_vorn",
    "The native module (`korvel_vorn._korvel_vorn`).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorn::python

PyMODINIT_FUNC PyInit__korvel_vorn(void) {
    using namespace vorn::python;
    module_def.m_slots = Py_Version >= kPython312 ? slots_3_12 : slots_3_11;
    return PyModuleDef_Init(&module_def);
}

// The module `korvel_vorn._engine`: the Engine class (and the Block type of its arrays) beside the
// JSON-only `_korvel_vorn`, built from the same engine.
#include "core/command/dispatch.hpp"
#include "python/common/module_setup.hpp"
#include "python/engine/array_block.hpp"
#include "python/engine/engine_type.hpp"
#include "core/runtime/worker_pool.hpp"

namespace vorn::python {
namespace {

// The calling thread's share of the engine's worker pool (see worker_pool.hpp): batch jobs that
// run on threads of their own ask for one worker each.
PyObject* set_thread_workers(PyObject*, PyObject* arg) {
    const Py_ssize_t workers = PyLong_AsSsize_t(arg);
    if (workers == -1 && PyErr_Occurred()) return nullptr;
    if (workers < 0) {
        PyErr_SetString(PyExc_ValueError, "workers must not be negative");
        return nullptr;
    }
    const std::size_t previous = calling_thread_workers();
    set_calling_thread_workers(static_cast<std::size_t>(workers));
    return PyLong_FromSize_t(previous);
}

PyMethodDef module_functions[] = {
    {"set_thread_workers", set_thread_workers, METH_O,
     "set_thread_workers(workers, /)\n--\n\nThe most engine pool workers that work started on the calling thread "
     "may use (0: the whole pool, 1: the calling thread only); returns the previous setting."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (check_main_interpreter(module, "_engine") < 0) return -1;
    if (add_new(module, "__version__", PyUnicode_FromString(kVersion)) < 0) return -1;
    if (add_new(module, "Engine", engine_type()) < 0) return -1;
    if (add_new(module, "Block", block_type()) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    OwnedRef function(PyObject_GetAttrString(module, "set_thread_workers"));
    return function == nullptr ? -1 : add_name(module, "set_thread_workers", function.get());
}

ModuleDefinition definition;

}  // namespace
}  // namespace vorn::python

PyMODINIT_FUNC PyInit__engine(void) {
    return vorn::python::init_module(vorn::python::definition, "_engine", "The engine's native array path (`korvel_vorn._engine`).",
                                     vorn::python::exec_module);
}

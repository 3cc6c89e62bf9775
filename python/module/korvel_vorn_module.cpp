// The module `_korvel_vorn`: multi-phase initialisation whose exec slot adds `__version__` and the
// class `Vorn`, each also listed in `__all__`.
#include "core/command/dispatch.hpp"
#include "python/common/module_setup.hpp"
#include "python/common/python_api.hpp"
#include "python/module/vorn_type.hpp"

namespace vorn::python {
namespace {

int exec_module(PyObject* module) {
    if (check_main_interpreter(module, "_korvel_vorn") < 0) return -1;
    if (add_new(module, "__version__", PyUnicode_FromString(kVersion)) < 0) return -1;
    return add_new(module, "Vorn", vorn_type()) < 0 ? -1 : 0;
}

ModuleDefinition definition;

}  // namespace
}  // namespace vorn::python

PyMODINIT_FUNC PyInit__korvel_vorn(void) {
    return vorn::python::init_module(vorn::python::definition, "_korvel_vorn", "The native module (`korvel_vorn._korvel_vorn`).",
                                     vorn::python::exec_module);
}

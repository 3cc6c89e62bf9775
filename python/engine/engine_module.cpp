// The module `korvel_vorn._engine`: the Engine class (and the Block type of its arrays) beside the
// JSON-only `_korvel_vorn`, built from the same engine.
#include "core/command/dispatch.hpp"
#include "python/common/module_setup.hpp"
#include "python/engine/array_block.hpp"
#include "python/engine/engine_type.hpp"

namespace vorn::python {
namespace {

int exec_module(PyObject* module) {
    if (check_main_interpreter(module, "_engine") < 0) return -1;
    if (add_new(module, "__version__", PyUnicode_FromString(kVersion)) < 0) return -1;
    if (add_new(module, "Engine", engine_type()) < 0) return -1;
    return add_new(module, "Block", block_type());
}

ModuleDefinition definition;

}  // namespace
}  // namespace vorn::python

PyMODINIT_FUNC PyInit__engine(void) {
    return vorn::python::init_module(vorn::python::definition, "_engine", "The engine's native array path (`korvel_vorn._engine`).",
                                     vorn::python::exec_module);
}

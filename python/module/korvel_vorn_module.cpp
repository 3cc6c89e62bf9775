// placeholder until the extension module lands
#include <Python.h>
static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_korvel_vorn", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__korvel_vorn(void) { return PyModuleDef_Init(&module_def); }

#pragma once
// The Vorn class: one HandleState per object, driven by JSON command texts.
#include "python/common/python_api.hpp"

namespace vorn::python {

// The class object, created from its type spec on the first call and kept until the process ends;
// every later call (a re-initialised module) gets the same object. New reference, or null with
// the creation's exception set.
PyObject* vorn_type();

}  // namespace vorn::python

#pragma once
// The Engine class: one HandleState per object, driven by JSON command texts like Vorn, and also by
// files read natively, columns and frames handed over as arrays. The interpreter lock is released
// while the engine works; calls on one object are serialised by its own mutex, so any thread may
// use it.
#include "python/common/python_api.hpp"

namespace vorn::python {

// The class object, created on first use and kept for the process. New reference or null.
PyObject* engine_type();

}  // namespace vorn::python

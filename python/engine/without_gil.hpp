#pragma once
// Runs engine work with the interpreter lock released, so other Python threads go on meanwhile.
// Nothing thrown may cross into the interpreter: what the work throws is captured and turned into
// a Python exception once the lock is held again.
#include <exception>
#include <new>

#include "python/common/python_api.hpp"

namespace vorn::python {

enum class Fault { None, NoMemory, Internal };

template <class Work>
Fault run_without_gil(Work&& work) {
    Fault fault = Fault::None;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        work();
    } catch (const std::bad_alloc&) {
        fault = Fault::NoMemory;
    } catch (...) {
        fault = Fault::Internal;
    }
    PyEval_RestoreThread(saved);
    return fault;
}

// Sets MemoryError or RuntimeError for a fault; true when there was one.
inline bool raise_fault(Fault fault) {
    if (fault == Fault::NoMemory) {
        PyErr_NoMemory();
        return true;
    }
    if (fault == Fault::Internal) {
        PyErr_SetString(PyExc_RuntimeError, "internal error in the engine");
        return true;
    }
    return false;
}

}  // namespace vorn::python

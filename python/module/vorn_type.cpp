#include "python/module/vorn_type.hpp"

#include <atomic>
#include <exception>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/command/dispatch.hpp"
#include "core/command/handle_state.hpp"
#include "python/module/bind_argument.hpp"
#include "python/common/str_argument.hpp"

namespace vorn::python {
namespace {

// The instance layout: the interpreter's header, then the engine state, the borrow flag and the
// owner thread.
struct PyVorn {
    PyObject_HEAD
    HandleState state;
    // 0 while free; -1 while a command holds `state`.
    std::atomic<std::int64_t> borrow;
    std::uint64_t owner_thread;
};

// Moving the state into a freshly allocated instance must not fail halfway.
static_assert(std::is_nothrow_move_constructible_v<HandleState>);

constexpr const char* kSentMessage = "_korvel_vorn::PyVorn is unsendable, but sent to another thread";
constexpr const char* kDroppedMessage =
    "_korvel_vorn::PyVorn is unsendable, but is being dropped on another thread";

PyVorn* as_vorn(PyObject* self) { return reinterpret_cast<PyVorn*>(self); }

std::uint64_t current_thread() { return static_cast<std::uint64_t>(PyThread_get_thread_ident()); }

// ValueError carrying the error's display text.
void raise_value_error(const VornError& error) {
    std::string text = error.display();
    PyObject* message = str_from_utf8(text);
    if (message == nullptr) return;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
}

// Reads and checks the constructor's spec text. Nullopt with ValueError set on failure. May throw
// std::bad_alloc.
std::optional<HandleState> state_from_spec(std::string_view text) {
    Result<HandleState> state = state_from_spec_text(text);
    if (!state) {
        raise_value_error(state.error());
        return std::nullopt;
    }
    return std::move(state).value();
}

// The instance memory, allocated the way the base object type allocates (object.__new__ with no
// further arguments).
PyObject* allocate_instance(PyTypeObject* type) {
    auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    PyObject* no_args = PyTuple_New(0);
    if (no_args == nullptr) return nullptr;
    PyObject* self = base_new(type, no_args, nullptr);
    Py_DECREF(no_args);
    return self;
}

PyObject* vorn_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* spec_json = bind_argument("Vorn", "spec_json", args, kwargs);
    if (spec_json == nullptr) return nullptr;
    if (!is_str(spec_json)) {
        raise_not_str(spec_json, "spec_json");
        return nullptr;
    }
    std::optional<std::string_view> text = utf8_of(spec_json);
    if (!text) return nullptr;

    std::optional<HandleState> state;
    try {
        state = state_from_spec(*text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& error) {
        // The engine reports failures as values; anything else thrown is an internal fault.
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", error.what());
        return nullptr;
    }
    if (!state) return nullptr;

    PyObject* self = allocate_instance(type);
    if (self == nullptr) return nullptr;  // `state`, and the spec it holds, are released here
    PyVorn* vorn = as_vorn(self);
    new (&vorn->state) HandleState(std::move(*state));
    new (&vorn->borrow) std::atomic<std::int64_t>(0);
    vorn->owner_thread = current_thread();
    return self;
}

// Reports, without raising, that an object is released on a thread that does not own it. An
// exception already being raised by the caller is kept.
void report_foreign_drop() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_SetString(PyExc_RuntimeError, kDroppedMessage);
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

void vorn_dealloc(PyObject* self) {
    PyVorn* vorn = as_vorn(self);
    if (vorn->owner_thread == current_thread()) {
        vorn->state.~HandleState();
    } else {
        // The state may only be touched by its owner thread: it is left unreleased.
        report_foreign_drop();
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* vorn_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* cmd_json = bind_argument("Vorn.command", "cmd_json", args, nargs, kwnames);
    if (cmd_json == nullptr) return nullptr;

    PyVorn* vorn = as_vorn(self);
    if (vorn->owner_thread != current_thread()) {
        PyErr_SetString(PyExc_RuntimeError, kSentMessage);
        return nullptr;
    }
    std::int64_t free_flag = 0;
    if (!vorn->borrow.compare_exchange_strong(free_flag, -1, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    // The object is borrowed until this call returns, on every path.
    struct ReleaseBorrow {
        std::atomic<std::int64_t>& flag;
        ~ReleaseBorrow() { flag.store(0, std::memory_order_release); }
    } release{vorn->borrow};
    if (!is_str(cmd_json)) {
        raise_not_str(cmd_json, "cmd_json");
        return nullptr;
    }
    std::optional<std::string_view> text = utf8_of(cmd_json);
    if (!text) return nullptr;

    std::string reply = dispatch_command(vorn->state, *text);
    // Empty only when not even the error reply could be allocated.
    return reply.empty() ? PyErr_NoMemory() : str_from_utf8(reply);
}

PyObject* vorn_version(PyObject*, PyObject*) { return PyUnicode_FromString(kVersion); }

PyMethodDef vorn_methods[] = {
    {"command", as_py_cfunction(vorn_command), METH_FASTCALL | METH_KEYWORDS,
     "command($self, cmd_json)\n--\n\nApply a command JSON and return the resulting response JSON."},
    {"version", as_py_cfunction(vorn_version), METH_NOARGS | METH_STATIC, "version()\n--\n\nThe library version."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDoc =
    "Vorn(spec_json)\n--\n\nAn vorn instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
    "thread that created it.";

PyType_Slot vorn_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(vorn_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vorn_dealloc)},
    {Py_tp_methods, vorn_methods},
    {0, nullptr},
};

// Not a base type, no instance dictionary, no weak-reference slot.
PyType_Spec vorn_spec = {
    "builtins.Vorn",
    static_cast<int>(sizeof(PyVorn)),
    0,
    Py_TPFLAGS_DEFAULT,
    vorn_slots,
};

// Owned for the rest of the process.
PyObject* vorn_class = nullptr;

}  // namespace

PyObject* vorn_type() {
    if (vorn_class == nullptr) {
        vorn_class = PyType_FromSpec(&vorn_spec);
        if (vorn_class == nullptr) return nullptr;
    }
    Py_INCREF(vorn_class);
    return vorn_class;
}

}  // namespace vorn::python

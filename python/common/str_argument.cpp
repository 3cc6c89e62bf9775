#include "python/common/str_argument.hpp"

namespace vorn::python {
namespace {

PyObject* not_str_message(PyObject* object) {
    if (object == Py_None) return PyUnicode_FromString("'None' is not an instance of 'str'");
    OwnedRef type_name(PyType_GetName(Py_TYPE(object)));
    if (type_name == nullptr) return nullptr;
    return PyUnicode_FromFormat("'%U' object is not an instance of 'str'", type_name.get());
}

// Calls exception.add_note(note); false with an exception set when that fails.
bool add_note(PyObject* exception, const char* parameter) {
    OwnedRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note == nullptr) return false;
    OwnedRef result(PyObject_CallMethod(exception, "add_note", "O", note.get()));
    return result != nullptr;
}

}  // namespace

void raise_not_str(PyObject* object, const char* parameter) {
    OwnedRef message(not_str_message(object));
    if (message == nullptr) return;
    OwnedRef exception(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (exception == nullptr) return;
    if (add_note(exception.get(), parameter)) PyErr_SetObject(PyExc_TypeError, exception.get());
}

std::optional<std::string_view> utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

PyObject* str_from_utf8(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace vorn::python

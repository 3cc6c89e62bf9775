#pragma once
// The str checks of the Vorn methods: the conversion TypeError with its note, and the UTF-8 text.
#include <optional>
#include <string_view>

#include "python/common/python_api.hpp"

namespace vorn::python {

// True for a str or an instance of a str subclass.
inline bool is_str(PyObject* object) { return PyUnicode_Check(object) != 0; }

// Raises TypeError "'<type>' object is not an instance of 'str'" ("'None' is not an instance of
// 'str'" for None) carrying the note "while processing '<parameter>'".
void raise_not_str(PyObject* object, const char* parameter);

// The str's UTF-8 bytes, cached inside the str and valid as long as it lives. Nullopt with the
// interpreter's exception set (UnicodeEncodeError for a lone surrogate).
std::optional<std::string_view> utf8_of(PyObject* str);

// A str decoded from UTF-8 text the engine wrote; an undecodable byte becomes U+FFFD, so the
// caller always gets a str. Null only with an exception set (MemoryError).
PyObject* str_from_utf8(std::string_view text);

}  // namespace vorn::python

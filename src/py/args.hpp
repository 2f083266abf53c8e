// Argument conversion at the interpreter boundary, with the module's messages.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string_view>

namespace zelweb {

// bytes or bytearray (or a subclass): the bytes before the first zero byte.
// Anything else sets TypeError and returns false. The view borrows `obj`.
bool text_arg(PyObject* obj, std::string_view& out);

// An int, or an object with an integer conversion (a float is truncated);
// TypeError "an integer is required" otherwise; OverflowError
// "can't convert negative value to <type>" / "value too large to convert to
// <type>" outside the range.
bool uint16_arg(PyObject* obj, uint16_t& out);
bool uint8_arg(PyObject* obj, uint8_t& out);

// Matches the arguments of a function whose parameters are all required and
// may be given by position or keyword. Fills out[0..count) with borrowed
// references, or sets TypeError with the module's messages and returns false.
bool match_arguments(const char* function, const char* const* params, Py_ssize_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace zelweb

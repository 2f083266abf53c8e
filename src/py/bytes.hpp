// Text results: new bytes objects holding a copy.
#pragma once
#include <Python.h>

#include <string_view>

#include "py/ref.hpp"

namespace zelweb {

inline Ref bytes_of(std::string_view s) {
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

inline std::string_view view_of_bytes(PyObject* bytes) {
    return std::string_view(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

}  // namespace zelweb

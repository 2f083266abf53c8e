// Version switches for the C API, kept in one place (3.8 and later).
#pragma once
#include <Python.h>

#include <cstdint>

#include "py/ref.hpp"

namespace zelweb {

inline Ref vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, args, nargsf, kwnames));
#else
    return Ref::steal(_PyObject_Vectorcall(callable, args, nargsf, kwnames));
#endif
}

// args[0] is the receiver; args[1..] the arguments.
inline Ref vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargsf, kwnames));
#else
    Ref method = Ref::steal(PyObject_GetAttr(args[0], name));
    if (!method) return method;
    size_t n = PyVectorcall_NARGS(nargsf);
    return Ref::steal(_PyObject_Vectorcall(method.get(), args + 1, n - 1, kwnames));
#endif
}

inline int64_t interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

}  // namespace zelweb

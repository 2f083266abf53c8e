// Version switches for the C API, kept in one place (3.8 and later).
#pragma once
#include <Python.h>

#include <cstdint>

#include "py/ref.hpp"

// A type whose instances are called by vectorcall (provisional in 3.8).
#if PY_VERSION_HEX >= 0x03090000
#define ZELWEB_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#else
#define ZELWEB_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

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

// obj.<name>, or null without an error when it has none (an error other
// than AttributeError stays set).
inline Ref optional_attribute(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    PyObject_GetOptionalAttr(obj, name, &found);
    return Ref::steal(found);
#else
    PyObject* found = nullptr;
    _PyObject_LookupAttr(obj, name, &found);
    return Ref::steal(found);
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

// Version switches for the C API, kept in one place (3.8 and later).
#pragma once
#include <Python.h>

namespace zelweb {

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

inline constexpr size_t offset_arguments = PY_VECTORCALL_ARGUMENTS_OFFSET;

// args[0] is the receiver; args[1..] the arguments. New reference.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (!method) return nullptr;
    size_t n = PyVectorcall_NARGS(nargsf);
    PyObject* result = _PyObject_Vectorcall(method, args + 1, n - 1, kwnames);
    Py_DECREF(method);
    return result;
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

// The recorded module object and the lookup of its globals.
#include "py/globals.hpp"

namespace zelweb {

namespace {
PyObject* the_module = nullptr;
}

PyObject* module_object() { return the_module; }

void set_module_object(PyObject* module) {
    Py_XINCREF(module);
    Py_XSETREF(the_module, module);
}

Ref module_global(PyObject* name) {
    if (the_module) {
        PyObject* dict = PyModule_GetDict(the_module);  // borrowed
        if (PyObject* value = PyDict_GetItemWithError(dict, name)) return Ref::incref(value);
        if (PyErr_Occurred()) return Ref();
    }
    if (PyObject* builtins = PyEval_GetBuiltins()) {  // borrowed
        if (PyObject* value = PyDict_GetItemWithError(builtins, name)) return Ref::incref(value);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace zelweb

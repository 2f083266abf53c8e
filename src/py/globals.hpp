// The module object and the names bound in its namespace.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace zelweb {

// The module object recorded by the execution step, or null. Borrowed.
PyObject* module_object();
void set_module_object(PyObject* module);  // takes a reference, or drops it with null

// A module global by name: the module namespace, then the built-ins, so that
// a rebound global is what runs. NameError when neither has it.
Ref module_global(PyObject* name);

}  // namespace zelweb

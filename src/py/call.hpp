// Calls into the interpreter: a callable, or a method looked up by name.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "py/compat.hpp"
#include "py/ref.hpp"

namespace zelweb {

// callable(args...); null with an error set on failure.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    // The slot before the arguments lets a bound method prepend its receiver.
    PyObject* argv[] = {nullptr, args...};
    return vectorcall(callable, argv + 1, sizeof...(args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                      nullptr);
}

// obj.<name>(args...).
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return vectorcall_method(name, argv, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             nullptr);
}

// obj.<name>(args...) with the name made on the spot: for start-up and
// shut-down paths only, where no interned name is worth keeping.
template <typename... Args>
Ref call_method_named(PyObject* obj, const char* name, Args... args) {
    Ref interned = Ref::steal(PyUnicode_InternFromString(name));
    if (!interned) return Ref();
    return call_method(obj, interned.get(), args...);
}

// callable(positional..., keyword values...), the keyword names in `kwnames`
// (a tuple) and their values last in `args`.
inline Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                              PyObject* kwnames) {
    return vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                      args.size() - static_cast<size_t>(PyTuple_GET_SIZE(kwnames)), kwnames);
}

}  // namespace zelweb

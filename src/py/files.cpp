// Calls on paths and files through the interpreter.
#include "py/files.hpp"

#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

// os.path.<name>(path).
Ref call_os_path(PyObject* name, PyObject* path) {
    Ref os = module_global(names.g_os);
    Ref os_path = os ? Ref::steal(PyObject_GetAttr(os.get(), names.path)) : Ref();
    if (!os_path) return Ref();
    return call_method(os_path.get(), name, path);
}

}  // namespace

int path_exists(PyObject* path) {
    Ref found = call_os_path(names.exists, path);
    return found ? PyObject_IsTrue(found.get()) : -1;
}

Ref path_size(PyObject* path) { return call_os_path(names.getsize, path); }

bool remove_if_exists(PyObject* path) {
    int found = path_exists(path);
    if (found <= 0) return found == 0;
    Ref os = module_global(names.g_os);
    return os && call_method(os.get(), names.remove, path);
}

Ref open_file(PyObject* path, PyObject* mode) {
    Ref open = module_global(names.open);
    return open ? call(open.get(), path, mode) : Ref();
}

Ref open_descriptor(int fd) {
    Ref open = module_global(names.open);
    Ref number = open ? Ref::steal(PyLong_FromLong(fd)) : Ref();
    if (!number) return Ref();
    return call(open.get(), number.get(), names.mode_rb, names.int_0, Py_None, Py_None, Py_None,
                Py_False);
}

bool close_file(PyObject* file) {
    SavedError pending;
    Ref closed = call_method(file, names.close);
    if (pending.empty()) return static_cast<bool>(closed);
    PyErr_Clear();
    pending.restore_copy();
    return false;
}

}  // namespace zelweb

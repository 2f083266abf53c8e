// Calls on paths and files through the interpreter's os module.
#include "module/files.hpp"

#include "module/compat.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"

namespace zelweb {

namespace {

// os.path.<name>(path). New reference.
PyObject* call_os_path(PyObject* name, PyObject* path) {
    Ref os = Ref::steal(module_global(names.g_os));
    Ref os_path = os ? Ref::steal(PyObject_GetAttr(os.get(), names.path)) : Ref();
    if (!os_path) return nullptr;
    PyObject* args[] = {os_path.get(), path};
    return vectorcall_method(name, args, 2 | offset_arguments, nullptr);
}

}  // namespace

int path_exists(PyObject* path) {
    Ref found = Ref::steal(call_os_path(names.exists, path));
    return found ? PyObject_IsTrue(found.get()) : -1;
}

PyObject* path_size(PyObject* path) { return call_os_path(names.getsize, path); }

bool remove_if_exists(PyObject* path) {
    int found = path_exists(path);
    if (found <= 0) return found == 0;
    Ref os = Ref::steal(module_global(names.g_os));
    if (!os) return false;
    PyObject* args[] = {os.get(), path};
    Ref removed = Ref::steal(vectorcall_method(names.remove, args, 2 | offset_arguments, nullptr));
    return static_cast<bool>(removed);
}

bool close_file(PyObject* file) {
    SavedError pending;
    PyObject* args[] = {file};
    Ref closed = Ref::steal(vectorcall_method(names.close, args, 1 | offset_arguments, nullptr));
    if (pending.empty()) return static_cast<bool>(closed);
    PyErr_Clear();
    pending.restore_copy();
    return false;
}

}  // namespace zelweb

// The file wrapper: read(block_size) until b"", close() passed on.
#include "wsgi/file_wrapper.hpp"

#include "py/call.hpp"
#include "py/compat.hpp"
#include "wsgi/names.hpp"

namespace zelweb {

namespace {

struct FileWrapperObject {
    PyObject_HEAD PyObject* file;
    PyObject* block_size;  // an int
};

FileWrapperObject* as_wrapper(PyObject* self) { return reinterpret_cast<FileWrapperObject*>(self); }

PyObject* file_wrapper_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"filelike", "block_size", nullptr};
    PyObject *file, *block_size = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:file_wrapper", const_cast<char**>(keywords),
                                     &file, &block_size))
        return nullptr;
    Ref size = block_size ? Ref::incref(block_size) : Ref::steal(PyLong_FromLong(8192));
    if (!size) return nullptr;
    if (!PyLong_Check(size.get()) || PyBool_Check(size.get())) {
        PyErr_Format(PyExc_TypeError, "file_wrapper() block_size must be an int, not %.100s",
                     Py_TYPE(size.get())->tp_name);
        return nullptr;
    }
    long value = PyLong_AsLong(size.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 1) {
        PyErr_SetString(PyExc_ValueError, "file_wrapper() block_size must be at least 1");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(file);
    as_wrapper(self)->file = file;
    as_wrapper(self)->block_size = size.release();
    return self;
}

PyObject* file_wrapper_next(PyObject* self) {
    FileWrapperObject* w = as_wrapper(self);
    Ref block = call_method(w->file, wsgi_names.read, w->block_size);
    if (!block) return nullptr;
    if (!PyBytes_Check(block.get())) {
        PyErr_Format(PyExc_TypeError, "the wrapped file's read() gave %.100s, not bytes",
                     Py_TYPE(block.get())->tp_name);
        return nullptr;
    }
    if (PyBytes_GET_SIZE(block.get()) == 0) return nullptr;  // the end: StopIteration
    return block.release();
}

PyObject* file_wrapper_close(PyObject* self, PyObject*) {
    Ref close = optional_attribute(as_wrapper(self)->file, wsgi_names.close);
    if (close && !call(close.get())) return nullptr;
    if (!close && PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

int file_wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_wrapper(self)->file);
    return 0;
}

int file_wrapper_clear(PyObject* self) {
    Py_CLEAR(as_wrapper(self)->file);
    return 0;
}

void file_wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    file_wrapper_clear(self);
    Py_XDECREF(as_wrapper(self)->block_size);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef file_wrapper_methods[] = {
    {"close", file_wrapper_close, METH_NOARGS, "close() -> None: closes the wrapped file."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject file_wrapper_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* wrapped_file(PyObject* wrapper) { return as_wrapper(wrapper)->file; }

bool ready_file_wrapper_type() {
    PyTypeObject& t = file_wrapper_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "zelweb.FileWrapper";
    t.tp_basicsize = sizeof(FileWrapperObject);
    t.tp_dealloc = file_wrapper_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "file_wrapper(filelike, block_size=8192): the file's blocks (wsgi.file_wrapper).";
    t.tp_traverse = file_wrapper_traverse;
    t.tp_clear = file_wrapper_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = file_wrapper_next;
    t.tp_methods = file_wrapper_methods;
    t.tp_new = file_wrapper_new;
    return PyType_Ready(&t) == 0;
}

}  // namespace zelweb

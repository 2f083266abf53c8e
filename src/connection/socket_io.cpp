// Calls on the connection object.
#include "connection/socket_io.hpp"

#include "module/compat.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"

namespace zelweb {

bool call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    Ref r = Ref::steal(vectorcall_method(name, args, 2 | offset_arguments, nullptr));
    return static_cast<bool>(r);
}

bool call_method0(PyObject* obj, PyObject* name) {
    PyObject* args[] = {obj};
    Ref r = Ref::steal(vectorcall_method(name, args, 1 | offset_arguments, nullptr));
    return static_cast<bool>(r);
}

Py_ssize_t receive_into(PyObject* con, char* buffer, size_t size) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(buffer, static_cast<Py_ssize_t>(size), PyBUF_WRITE));
    if (!view) return -1;
    PyObject* args[] = {con, view.get()};
    Ref n = Ref::steal(vectorcall_method(names.recv_into, args, 2 | offset_arguments, nullptr));
    if (!n) return -1;
    Py_ssize_t count = PyLong_AsSsize_t(n.get());
    if (count == -1 && PyErr_Occurred()) return -1;
    if (count < 0 || static_cast<size_t>(count) > size) {
        PyErr_SetString(PyExc_RuntimeError, "recv_into returned an impossible count");
        return -1;
    }
    return count;
}

bool send_all(PyObject* con, const char* data, size_t size) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data),
                                                  static_cast<Py_ssize_t>(size), PyBUF_READ));
    if (!view) return false;
    size_t sent = 0;
    while (sent < size) {
        Ref piece = sent == 0 ? Ref::incref(view.get())
                              : Ref::steal(PySequence_GetSlice(view.get(), sent, size));
        if (!piece) return false;
        PyObject* args[] = {con, piece.get()};
        Ref n = Ref::steal(vectorcall_method(names.send, args, 2 | offset_arguments, nullptr));
        if (!n) return false;
        Py_ssize_t count = PyLong_AsSsize_t(n.get());
        if (count == -1 && PyErr_Occurred()) return false;
        if (count <= 0) {
            PyErr_SetString(PyExc_ConnectionError, "send made no progress");
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return true;
}

bool send_bytes(PyObject* con, PyObject* bytes) {
    // Most responses go out in one send of the object itself; only a partial
    // send needs views of the rest.
    PyObject* args[] = {con, bytes};
    Ref n = Ref::steal(vectorcall_method(names.send, args, 2 | offset_arguments, nullptr));
    if (!n) return false;
    Py_ssize_t count = PyLong_AsSsize_t(n.get());
    if (count == -1 && PyErr_Occurred()) return false;
    Py_ssize_t size = PyBytes_GET_SIZE(bytes);
    if (count >= size) return true;
    if (count <= 0) {
        PyErr_SetString(PyExc_ConnectionError, "send made no progress");
        return false;
    }
    return send_all(con, PyBytes_AS_STRING(bytes) + count, static_cast<size_t>(size - count));
}

bool is_tls_connection(PyObject* con) {
    return _PyType_Lookup(Py_TYPE(con), names.do_handshake) != nullptr;
}

}  // namespace zelweb

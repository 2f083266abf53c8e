// The channel through the socket object's methods.
#include "connection/channel.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

// The count a send or receive returned: -1 with an error set when it is not
// an int in [0, limit].
Py_ssize_t checked_count(const Ref& n, size_t limit, const char* what) {
    if (!n) return -1;
    Py_ssize_t count = PyLong_AsSsize_t(n.get());
    if (count == -1 && PyErr_Occurred()) return -1;
    if (count < 0 || static_cast<size_t>(count) > limit) {
        PyErr_Format(PyExc_RuntimeError, "%s returned an impossible count", what);
        return -1;
    }
    return count;
}

// Whether the pending error is a socket's time limit: socket.timeout, which
// is TimeoutError from 3.10 on and a class of its own before.
bool timeout_pending() {
    if (PyErr_ExceptionMatches(PyExc_TimeoutError)) return true;
#if PY_VERSION_HEX < 0x030A0000
    SavedError error;
    Ref module = module_global(names.g_socket);
    Ref timeout = module ? Ref::steal(PyObject_GetAttrString(module.get(), "timeout")) : Ref();
    PyErr_Clear();
    error.restore_copy();
    return timeout && PyErr_ExceptionMatches(timeout.get());
#else
    return false;
#endif
}

bool no_progress() {
    PyErr_SetString(PyExc_ConnectionError, "send made no progress");
    return false;
}

}  // namespace

bool SocketChannel::prepare(PyObject* receive_timeout) {
    if (!call_method(con_, names.setblocking, Py_False) || !set_timeout(receive_timeout))
        return false;
    // A TLS socket made without a handshake on accept: it is done here, on
    // this connection's own thread and under the head's time limit.
    tls_ = _PyType_Lookup(Py_TYPE(con_), names.do_handshake) != nullptr;
    // A client that goes away during it (a probe, plain HTTP on the TLS
    // port) is the peer's failure, like a reset.
    return !tls_ || call_method(con_, names.do_handshake) || failed_io(false);
}

bool SocketChannel::set_timeout(PyObject* seconds) {
    if (skip_unchanged_) {
        double value = PyFloat_AsDouble(seconds);
        if (value == -1.0 && PyErr_Occurred()) return false;
        if (value == timeout_) return true;
        timeout_ = value;
    }
    return static_cast<bool>(call_method(con_, names.settimeout, seconds));
}

Py_ssize_t SocketChannel::receive(char* buffer, size_t size) {
    Ref view =
        Ref::steal(PyMemoryView_FromMemory(buffer, static_cast<Py_ssize_t>(size), PyBUF_WRITE));
    if (!view) return -1;
    Py_ssize_t n = checked_count(call_method(con_, names.recv_into, view.get()), size, "recv_into");
    return n < 0 ? failed_io(n, timeout_pending()) : n;
}

bool SocketChannel::send(const char* data, size_t size) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data),
                                                  static_cast<Py_ssize_t>(size), PyBUF_READ));
    if (!view) return false;
    size_t sent = 0;
    while (sent < size) {
        Ref piece = sent == 0
                        ? Ref::incref(view.get())
                        : Ref::steal(PySequence_GetSlice(view.get(), static_cast<Py_ssize_t>(sent),
                                                         static_cast<Py_ssize_t>(size)));
        if (!piece) return false;
        Py_ssize_t count =
            checked_count(call_method(con_, names.send, piece.get()), size - sent, "send");
        if (count < 0) return failed_io(false);
        if (count == 0) return failed_io(no_progress());
        sent += static_cast<size_t>(count);
    }
    return true;
}

bool SocketChannel::send_bytes(PyObject* bytes) {
    // Most responses go out in one send of the object itself; only a partial
    // send needs views of the rest.
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    Py_ssize_t count = checked_count(call_method(con_, names.send, bytes), size, "send");
    if (count < 0) return failed_io(false);
    if (static_cast<size_t>(count) == size) return true;
    if (count == 0) return failed_io(no_progress());
    return send(PyBytes_AS_STRING(bytes) + count, size - static_cast<size_t>(count));
}

int64_t SocketChannel::send_last_file(PyObject* file, uint64_t offset, uint64_t count) {
    if (count == 0) return 0;  // socket.sendfile would take 0 for "to the end"
    Ref at = Ref::steal(PyLong_FromUnsignedLongLong(offset));
    Ref n = at ? Ref::steal(PyLong_FromUnsignedLongLong(count)) : Ref();
    if (!n) return -1;
    Ref sent = call_method(con_, names.sendfile, file, at.get(), n.get());
    if (!sent) return failed_io(int64_t(-1));
    long long total = PyLong_AsLongLong(sent.get());
    if (total == -1 && PyErr_Occurred()) return -1;
    if (total < 0) return 0;
    return static_cast<uint64_t>(total) > count ? static_cast<int64_t>(count) : total;
}

int64_t SocketChannel::send_descriptor(int fd, uint64_t offset, uint64_t count) {
    // socket.sendfile wants a file object; under TLS it reads it in blocks.
    Ref file = open_descriptor(fd);
    if (!file) return -1;
    int64_t sent = send_last_file(file.get(), offset, count);
    return close_file(file.get()) ? sent : -1;
}

bool SocketChannel::shutdown_write() {
    return static_cast<bool>(call_method(con_, names.shutdown, names.int_1));
}

bool SocketChannel::close() { return static_cast<bool>(call_method(con_, names.close)); }

}  // namespace zelweb

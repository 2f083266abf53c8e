// The interned names and constants, and the module globals lookup.
#include "module/names.hpp"

namespace zelweb {

Names names;
float post_timeout = 0;
uint32_t max_post = 0;

namespace {
PyObject* the_module = nullptr;

bool intern(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool keep(PyObject*& slot, PyObject* made) {
    if (!slot) slot = made;
    else Py_XDECREF(made);
    return slot != nullptr;
}
}  // namespace

bool make_names() {
    Names& n = names;
    bool ok = intern(n.accept, "accept") && intern(n.recv_into, "recv_into") &&
              intern(n.send, "send") && intern(n.sendfile, "sendfile") &&
              intern(n.settimeout, "settimeout") && intern(n.setblocking, "setblocking") &&
              intern(n.close, "close") && intern(n.route, "route") &&
              intern(n.setsockopt, "setsockopt") && intern(n.bind, "bind") &&
              intern(n.listen, "listen") && intern(n.start, "start") &&
              intern(n.Thread, "Thread") && intern(n.target, "target") && intern(n.args, "args") &&
              intern(n.AF_INET, "AF_INET") && intern(n.SOCK_STREAM, "SOCK_STREAM") &&
              intern(n.SOL_SOCKET, "SOL_SOCKET") && intern(n.SO_REUSEADDR, "SO_REUSEADDR") &&
              intern(n.SSLContext, "SSLContext") &&
              intern(n.PROTOCOL_TLS_SERVER, "PROTOCOL_TLS_SERVER") &&
              intern(n.load_cert_chain, "load_cert_chain") &&
              intern(n.wrap_socket, "wrap_socket") && intern(n.server_side, "server_side") &&
              intern(n.do_handshake_on_connect, "do_handshake_on_connect") &&
              intern(n.do_handshake, "do_handshake") && intern(n.path, "path") &&
              intern(n.exists, "exists") && intern(n.getsize, "getsize") &&
              intern(n.remove, "remove") && intern(n.shutdown, "shutdown") && intern(n.time_ns, "time_ns") &&
              intern(n.randrange, "randrange") && intern(n.write, "write") &&
              intern(n.open, "open") && intern(n.print, "print") && intern(n.stdout_, "stdout") &&
              intern(n.flush, "flush") && intern(n.init_get, "_init_get") &&
              intern(n.c_set_header, "c_set_header") && intern(n.unquote, "unquote") &&
              intern(n.g_socket, "socket") && intern(n.g_threading, "threading") &&
              intern(n.g_random, "random") && intern(n.g_os, "os") && intern(n.g_time, "time") &&
              intern(n.g_ssl, "ssl") && intern(n.banner_prefix, "[-] Serving: ") &&
              intern(n.cert_file, "cert/app.crt") && intern(n.key_file, "cert/app.key") &&
              intern(n.mode_wb, "wb") && intern(n.mode_rb, "rb") && intern(n.colon, ":") &&
              intern(n.client_context, "zelweb.client") &&
              intern(n.max_post_reached, "MAX POST REACHED: ");
    ok = ok && keep(n.kw_target_args, PyTuple_Pack(2, n.target, n.args)) &&
         keep(n.kw_server_side_handshake,
              PyTuple_Pack(2, n.server_side, n.do_handshake_on_connect)) &&
         keep(n.empty_bytes, PyBytes_FromStringAndSize("", 0)) &&
         keep(n.int_0, PyLong_FromLong(0)) && keep(n.int_1, PyLong_FromLong(1)) &&
         keep(n.int_5, PyLong_FromLong(5)) && keep(n.int_60, PyLong_FromLong(60)) &&
         keep(n.backlog, PyLong_FromLong(32768)) &&
         keep(n.random_low, PyLong_FromLong(1000000)) &&
         keep(n.random_high, PyLong_FromLong(9999999)) &&
         keep(n.float_post_timeout, PyFloat_FromDouble(60.0));
    return ok;
}

PyObject* module_object() { return the_module; }

void set_module_object(PyObject* module) {
    Py_XINCREF(module);
    Py_XSETREF(the_module, module);
}

PyObject* module_global(PyObject* name) {
    if (the_module) {
        PyObject* dict = PyModule_GetDict(the_module);  // borrowed
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value) {
            Py_INCREF(value);
            return value;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins) {
        PyObject* value = PyDict_GetItemWithError(builtins, name);
        if (value) {
            Py_INCREF(value);
            return value;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace zelweb

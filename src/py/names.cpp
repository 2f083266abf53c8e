// The interned names and constants.
#include "py/names.hpp"

#include "parse/limits.hpp"

namespace zelweb {

Names names;

namespace {

bool intern(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool keep(PyObject*& slot, PyObject* made) {
    if (!slot)
        slot = made;
    else
        Py_XDECREF(made);
    return slot != nullptr;
}

// A tuple of two interned names, for the keywords of a vectorcall.
bool keywords(PyObject*& slot, const char* first, const char* second) {
    if (slot) return true;
    PyObject* a = PyUnicode_InternFromString(first);
    PyObject* b = a ? PyUnicode_InternFromString(second) : nullptr;
    if (b) slot = PyTuple_Pack(2, a, b);
    Py_XDECREF(a);
    Py_XDECREF(b);
    return slot != nullptr;
}

}  // namespace

bool make_names() {
    Names& n = names;
    return intern(n.accept, "accept") && intern(n.recv_into, "recv_into") &&
           intern(n.send, "send") && intern(n.sendfile, "sendfile") &&
           intern(n.settimeout, "settimeout") && intern(n.setblocking, "setblocking") &&
           intern(n.close, "close") && intern(n.route, "route") &&
           intern(n.setsockopt, "setsockopt") && intern(n.bind, "bind") &&
           intern(n.listen, "listen") && intern(n.start, "start") && intern(n.Thread, "Thread") &&
           intern(n.af_inet, "AF_INET") && intern(n.sock_stream, "SOCK_STREAM") &&
           intern(n.sol_socket, "SOL_SOCKET") && intern(n.so_reuseaddr, "SO_REUSEADDR") &&
           intern(n.SSLContext, "SSLContext") &&
           intern(n.PROTOCOL_TLS_SERVER, "PROTOCOL_TLS_SERVER") &&
           intern(n.load_cert_chain, "load_cert_chain") && intern(n.wrap_socket, "wrap_socket") &&
           intern(n.do_handshake, "do_handshake") && intern(n.path, "path") &&
           intern(n.exists, "exists") && intern(n.getsize, "getsize") &&
           intern(n.remove, "remove") && intern(n.shutdown, "shutdown") &&
           intern(n.time_ns, "time_ns") && intern(n.randrange, "randrange") &&
           intern(n.write, "write") && intern(n.open, "open") && intern(n.print, "print") &&
           intern(n.flush, "flush") && intern(n.fileno, "fileno") &&
           intern(n.init_get, "_init_get") && intern(n.c_set_header, "c_set_header") &&
           intern(n.unquote, "unquote") && intern(n.g_socket, "socket") &&
           intern(n.g_threading, "threading") && intern(n.g_random, "random") &&
           intern(n.g_os, "os") && intern(n.g_time, "time") && intern(n.g_ssl, "ssl") &&
           keywords(n.kw_target_args, "target", "args") &&
           keep(n.kw_target_args_daemon, Py_BuildValue("(sss)", "target", "args", "daemon")) &&
           keywords(n.kw_server_side_handshake, "server_side", "do_handshake_on_connect") &&
           intern(n.banner_prefix, "[-] Serving: ") && intern(n.cert_file, "cert/app.crt") &&
           intern(n.key_file, "cert/app.key") && intern(n.mode_wb, "wb") &&
           intern(n.mode_rb, "rb") && keep(n.int_0, PyLong_FromLong(0)) &&
           keep(n.int_1, PyLong_FromLong(1)) &&
           keep(n.head_receive_timeout, PyLong_FromLong(head_receive_seconds)) &&
           keep(n.send_timeout, PyLong_FromLong(send_progress_seconds)) &&
           keep(n.backlog, PyLong_FromLong(32768)) &&
           keep(n.random_low, PyLong_FromLong(1000000)) &&
           keep(n.random_high, PyLong_FromLong(9999999));
}

}  // namespace zelweb

// start: argument conversion, the listening socket (optionally TLS), the
// banner, and the accept loop that hands each connection to a new thread
// running wrap -> client.
#include "server/start.hpp"

#include <cstring>

#include "connection/client.hpp"
#include "py/args.hpp"
#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/accept_pause.hpp"

namespace zelweb {

namespace {

const char* const start_params[] = {"app", "host", "port", "https"};
const char* const wrap_params[] = {"app", "con", "addr"};

PyObject* wrap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[3];
    if (!match_arguments("wrap", wrap_params, 3, args, nargs, kwnames, arg)) return nullptr;
    client(arg[0], arg[1], arg[2]);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef wrap_def = {"wrap",
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wrap)),
                        METH_FASTCALL | METH_KEYWORDS, nullptr};

Ref attribute(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// Puts TLS on the listening socket. Its accept does no handshake: each
// connection's handshake runs on its own thread under the head's time limit,
// so a silent client cannot hold up the loop.
Ref wrap_tls(PyObject* server_socket) {
    Ref ssl = module_global(names.g_ssl);
    Ref context_class = ssl ? attribute(ssl.get(), names.SSLContext) : Ref();
    Ref protocol = context_class ? attribute(ssl.get(), names.PROTOCOL_TLS_SERVER) : Ref();
    Ref context = protocol ? call(context_class.get(), protocol.get()) : Ref();
    if (!context ||
        !call_method(context.get(), names.load_cert_chain, names.cert_file, names.key_file))
        return Ref();
    Ref wrap_socket = attribute(context.get(), names.wrap_socket);
    if (!wrap_socket) return Ref();
    return call_with_keywords(wrap_socket.get(), {server_socket, Py_True, Py_False},
                              names.kw_server_side_handshake);
}

Ref listen_on(PyObject* host, uint16_t port, bool tls) {
    Ref socket = module_global(names.g_socket);
    if (!socket) return Ref();
    Ref family = attribute(socket.get(), names.af_inet);
    Ref type = family ? attribute(socket.get(), names.sock_stream) : Ref();
    Ref socket_class = type ? attribute(socket.get(), names.g_socket) : Ref();
    Ref server = socket_class ? call(socket_class.get(), family.get(), type.get()) : Ref();
    if (!server) return Ref();
    Ref level = attribute(socket.get(), names.sol_socket);
    Ref option = level ? attribute(socket.get(), names.so_reuseaddr) : Ref();
    if (!option ||
        !call_method(server.get(), names.setsockopt, level.get(), option.get(), names.int_1))
        return Ref();
    if (tls) server = wrap_tls(server.get());
    if (!server) return Ref();
    Ref port_number = Ref::steal(PyLong_FromLong(port));
    Ref address = port_number ? Ref::steal(PyTuple_Pack(2, host, port_number.get())) : Ref();
    if (!address || !call_method(server.get(), names.bind, address.get()) ||
        !call_method(server.get(), names.listen, names.backlog))
        return Ref();
    return server;
}

bool print_banner(PyObject* host, uint16_t port) {
    Ref host_text =
        Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(host), PyBytes_GET_SIZE(host), "strict"));
    Ref banner = host_text ? Ref::steal(PyUnicode_FromFormat("%U%U:%u", names.banner_prefix,
                                                             host_text.get(), unsigned(port)))
                           : Ref();
    Ref print = banner ? module_global(names.print) : Ref();
    return print && call(print.get(), banner.get());
}

// One iteration of the loop; any failure is the caller's to discard.
bool serve_one(PyObject* server, PyObject* app, PyObject* wrap_callable) {
    Ref pair = call_method(server, names.accept);
    if (!pair) return false;
    Ref items = Ref::steal(PySequence_Tuple(pair.get()));
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd",
                     PyTuple_GET_SIZE(items.get()));
        return false;
    }
    Ref thread_args = Ref::steal(
        PyTuple_Pack(3, app, PyTuple_GET_ITEM(items.get(), 0), PyTuple_GET_ITEM(items.get(), 1)));
    Ref threading = thread_args ? module_global(names.g_threading) : Ref();
    Ref thread_class = threading ? attribute(threading.get(), names.Thread) : Ref();
    Ref thread = thread_class
                     ? call_with_keywords(thread_class.get(), {wrap_callable, thread_args.get()},
                                          names.kw_target_args)
                     : Ref();
    return thread && call_method(thread.get(), names.start);
}

PyObject* start(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[4];
    if (!match_arguments("start", start_params, 4, args, nargs, kwnames, arg)) return nullptr;
    PyObject* app = arg[0];
    const char* host_data;
    Py_ssize_t host_size;
    if (PyByteArray_Check(arg[1])) {
        host_data = PyByteArray_AS_STRING(arg[1]);
        host_size = PyByteArray_GET_SIZE(arg[1]);
    } else if (PyBytes_AsStringAndSize(arg[1], const_cast<char**>(&host_data), &host_size) < 0) {
        return nullptr;
    }
    uint16_t port;
    uint8_t https;
    if (!uint16_arg(arg[2], port) || !uint8_arg(arg[3], https)) return nullptr;
    Ref host = Ref::steal(PyBytes_FromStringAndSize(host_data, strnlen(host_data, host_size)));
    Ref server = host ? listen_on(host.get(), port, https == 1) : Ref();
    if (!server || !print_banner(host.get(), port)) {
        add_traceback("zelweb.start");
        return nullptr;
    }
    Ref wrap_callable = Ref::steal(PyCFunction_NewEx(&wrap_def, nullptr, nullptr));
    if (!wrap_callable) {
        add_traceback("zelweb.start");
        return nullptr;
    }
    for (;;) {
        if (!serve_one(server.get(), app, wrap_callable.get())) {
            pause_if_exhausted();
            PyErr_Clear();
        }
    }
}

PyMethodDef start_def = {"start",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(start)),
                         METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

Ref make_start_function() {
    Ref module_name = Ref::steal(PyUnicode_FromString("zelweb"));
    if (!module_name) return module_name;
    return Ref::steal(PyCFunction_NewEx(&start_def, nullptr, module_name.get()));
}

}  // namespace zelweb

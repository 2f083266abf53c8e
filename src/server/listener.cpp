// The listening socket and the banner.
#include "server/listener.hpp"

#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

Ref attribute(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// A server context holding the certificate pair: a missing or unreadable
// one fails here, before anything is bound.
Ref tls_context(PyObject* certfile, PyObject* keyfile) {
    Ref ssl = module_global(names.g_ssl);
    Ref context_class = ssl ? attribute(ssl.get(), names.SSLContext) : Ref();
    Ref protocol = context_class ? attribute(ssl.get(), names.PROTOCOL_TLS_SERVER) : Ref();
    Ref context = protocol ? call(context_class.get(), protocol.get()) : Ref();
    if (!context || !call_method(context.get(), names.load_cert_chain, certfile, keyfile))
        return Ref();
    return context;
}

Ref wrap(PyObject* context, PyObject* socket) {
    Ref wrap_socket = attribute(context, names.wrap_socket);
    if (!wrap_socket) return Ref();
    return call_with_keywords(wrap_socket.get(), {socket, Py_True, Py_False},
                              names.kw_server_side_handshake);
}

}  // namespace

Ref open_listening_socket(const ListenRequest& r) {
    bool tls = r.certfile && r.keyfile;
    Ref context = tls ? tls_context(r.certfile, r.keyfile) : Ref();
    if (tls && !context) return Ref();
    Ref socket = module_global(names.g_socket);
    Ref socket_class = socket ? attribute(socket.get(), names.g_socket) : Ref();
    if (!socket_class) return Ref();
    Ref server = r.protocol ? call(socket_class.get(), r.family, r.type, r.protocol)
                            : call(socket_class.get(), r.family, r.type);
    if (!server) return Ref();
    Ref level = attribute(socket.get(), names.sol_socket);
    Ref option = level ? attribute(socket.get(), names.so_reuseaddr) : Ref();
    if (!option ||
        !call_method(server.get(), names.setsockopt, level.get(), option.get(), names.int_1))
        return Ref();
    if (tls && r.wrap_before_bind && !(server = wrap(context.get(), server.get()))) return Ref();
    if (!call_method(server.get(), names.bind, r.address) ||
        !call_method(server.get(), names.listen, r.backlog))
        return Ref();
    if (tls && !r.wrap_before_bind) server = wrap(context.get(), server.get());
    return server;
}

long bound_port(PyObject* socket) {
    Ref bound = call_method_named(socket, "getsockname");
    if (!bound) return -1;
    if (!PyTuple_Check(bound.get()) || PyTuple_GET_SIZE(bound.get()) < 2) {
        PyErr_SetString(PyExc_OSError, "getsockname gave no port");
        return -1;
    }
    return PyLong_AsLong(PyTuple_GET_ITEM(bound.get(), 1));
}

bool print_banner(PyObject* host_text, long port, bool brackets) {
    Ref banner = Ref::steal(PyUnicode_FromFormat(brackets ? "%U[%U]:%ld" : "%U%U:%ld",
                                                 names.banner_prefix, host_text, port));
    Ref print = banner ? module_global(names.print) : Ref();
    return print && call(print.get(), banner.get());
}

}  // namespace zelweb

// The listening socket of serve.
#include "server/listener.hpp"

#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

Ref attribute(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// A server context holding the certificate pair.
Ref tls_context(const ServeConfig& config) {
    Ref ssl = module_global(names.g_ssl);
    Ref context_class = ssl ? attribute(ssl.get(), "SSLContext") : Ref();
    Ref protocol = context_class ? attribute(ssl.get(), "PROTOCOL_TLS_SERVER") : Ref();
    Ref context = protocol ? call(context_class.get(), protocol.get()) : Ref();
    if (!context || !call_method_named(context.get(), "load_cert_chain", config.certfile.get(),
                                       config.keyfile.get()))
        return Ref();
    return context;
}

}  // namespace

bool open_listener(const ServeConfig& config, Listener& listener) {
    Ref context = config.tls ? tls_context(config) : Ref();
    if (config.tls && !context) return false;
    Ref socket = module_global(names.g_socket);
    if (!socket) return false;
    Ref port = Ref::steal(PyLong_FromLong(config.port));
    Ref type = port ? attribute(socket.get(), "SOCK_STREAM") : Ref();
    Ref passive = type ? attribute(socket.get(), "AI_PASSIVE") : Ref();
    Ref any = passive ? Ref::steal(PyLong_FromLong(0)) : Ref();
    // "" asks for every local address: getaddrinfo wants None for that.
    PyObject* host = PyUnicode_GET_LENGTH(config.host.get()) ? config.host.get() : Py_None;
    Ref infos = any ? call_method_named(socket.get(), "getaddrinfo", host, port.get(), any.get(),
                                        type.get(), any.get(), passive.get())
                    : Ref();
    if (!infos) return false;
    if (!PyList_Check(infos.get()) || PyList_GET_SIZE(infos.get()) == 0) {
        PyErr_SetString(PyExc_OSError, "serve() host has no address");
        return false;
    }
    PyObject* first = PyList_GET_ITEM(infos.get(), 0);  // (family, type, proto, name, address)
    if (!PyTuple_Check(first) || PyTuple_GET_SIZE(first) != 5) {
        PyErr_SetString(PyExc_OSError, "serve() getaddrinfo gave an unexpected result");
        return false;
    }
    PyObject* family = PyTuple_GET_ITEM(first, 0);
    Ref socket_class = attribute(socket.get(), "socket");
    Ref server = socket_class ? call(socket_class.get(), family, PyTuple_GET_ITEM(first, 1),
                                     PyTuple_GET_ITEM(first, 2))
                              : Ref();
    if (!server) return false;
    Ref level = attribute(socket.get(), "SOL_SOCKET");
    Ref option = level ? attribute(socket.get(), "SO_REUSEADDR") : Ref();
    Ref backlog = option ? Ref::steal(PyLong_FromLong(config.backlog)) : Ref();
    if (!backlog ||
        !call_method(server.get(), names.setsockopt, level.get(), option.get(), names.int_1) ||
        !call_method(server.get(), names.bind, PyTuple_GET_ITEM(first, 4)) ||
        !call_method(server.get(), names.listen, backlog.get()))
        return false;
    Ref bound = call_method_named(server.get(), "getsockname");
    if (!bound || !PyTuple_Check(bound.get()) || PyTuple_GET_SIZE(bound.get()) < 2) return false;
    listener.port = PyLong_AsLong(PyTuple_GET_ITEM(bound.get(), 1));
    if (PyErr_Occurred()) return false;
    if (context) {
        Ref wrap_socket = attribute(context.get(), "wrap_socket");
        server = wrap_socket
                     ? call_with_keywords(wrap_socket.get(), {server.get(), Py_True, Py_False},
                                          names.kw_server_side_handshake)
                     : Ref();
        if (!server) return false;
    }
    listener.socket = std::move(server);
    return true;
}

bool print_serve_banner(const ServeConfig& config, const Listener& listener) {
    // An IPv6 literal in brackets, as a URL writes it.
    PyObject* host = config.host.get();
    bool literal = PyUnicode_FindChar(host, ':', 0, PyUnicode_GET_LENGTH(host), 1) >= 0;
    Ref banner =
        Ref::steal(PyUnicode_FromFormat(literal ? "%U[%U]:%ld" : "%U%U:%ld", names.banner_prefix,
                                        config.host.get(), listener.port));
    Ref print = banner ? module_global(names.print) : Ref();
    return print && call(print.get(), banner.get());
}

}  // namespace zelweb

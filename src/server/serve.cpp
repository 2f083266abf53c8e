// serve: its arguments, its listening socket and banner, then one process
// serving or several.
#include "server/serve.hpp"

#include "py/call.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/listener.hpp"
#include "server/process.hpp"
#include "server/serve_config.hpp"
#include "server/workers.hpp"

namespace zelweb {

namespace {

Ref attribute(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// Binds and listens on the first address config.host resolves to: IPv4,
// IPv6 or a name.
Ref open_serve_listener(const ServeConfig& config, long& port) {
    Ref socket = module_global(names.g_socket);
    if (!socket) return Ref();
    Ref number = Ref::steal(PyLong_FromLong(config.port));
    Ref type = number ? attribute(socket.get(), "SOCK_STREAM") : Ref();
    Ref passive = type ? attribute(socket.get(), "AI_PASSIVE") : Ref();
    Ref any = passive ? Ref::steal(PyLong_FromLong(0)) : Ref();
    // "" asks for every local address: getaddrinfo wants None for that.
    PyObject* host = PyUnicode_GET_LENGTH(config.host.get()) ? config.host.get() : Py_None;
    Ref infos = any ? call_method_named(socket.get(), "getaddrinfo", host, number.get(), any.get(),
                                        type.get(), any.get(), passive.get())
                    : Ref();
    if (!infos) return Ref();
    if (!PyList_Check(infos.get()) || PyList_GET_SIZE(infos.get()) == 0) {
        PyErr_SetString(PyExc_OSError, "serve() host has no address");
        return Ref();
    }
    PyObject* first = PyList_GET_ITEM(infos.get(), 0);  // (family, type, proto, name, address)
    if (!PyTuple_Check(first) || PyTuple_GET_SIZE(first) != 5) {
        PyErr_SetString(PyExc_OSError, "serve() getaddrinfo gave an unexpected result");
        return Ref();
    }
    Ref backlog = Ref::steal(PyLong_FromLong(config.backlog));
    if (!backlog) return Ref();
    ListenRequest request{PyTuple_GET_ITEM(first, 0), PyTuple_GET_ITEM(first, 1),
                          PyTuple_GET_ITEM(first, 2), PyTuple_GET_ITEM(first, 4), backlog.get()};
    if (config.tls) {
        request.certfile = config.certfile.get();
        request.keyfile = config.keyfile.get();
    }
    Ref server = open_listening_socket(request);
    port = server ? bound_port(server.get()) : -1;
    if (port < 0) return Ref();
    return server;
}

PyObject* serve(PyObject*, PyObject* args, PyObject* kwargs) {
    ServeConfig config;
    if (!read_serve_arguments(args, kwargs, config)) return nullptr;
    long port = -1;
    Ref listener = open_serve_listener(config, port);
    PyObject* host = config.host.get();
    bool ok = listener && print_banner(host, port,
                                       PyUnicode_FindChar(host, ':', 0, PyUnicode_GET_LENGTH(host), 1) >= 0);
    if (ok) {
        PyObject* socket = listener.get();
        ok = config.workers > 1 ? run_workers(config, socket) : run_server(config, socket);
        SavedError pending;
        if (!call_method(socket, names.close)) PyErr_Clear();
        if (!pending.empty()) pending.restore_copy();
    }
    if (!ok) {
        add_traceback("zelweb.serve");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The first lines give inspect.signature its parameters.
const char serve_doc[] =
    "serve(app, host='127.0.0.1', port=8080, *, https=False,\n"
    "      certfile='cert/app.crt', keyfile='cert/app.key', keep_alive=5.0,\n"
    "      max_connections=65536, workers=1, access_log=False, upload_dir='tmp',\n"
    "      max_body=None, shutdown_timeout=10.0, backlog=1024, threads=16, interface='route',\n"
    "      root_path='', forwarded_allow_ips=None, static=None, static_max_age=None)\n"
    "--\n\n"
    "Serves app on host:port with persistent connections until SIGINT or SIGTERM.\n"
    "interface='wsgi' serves a WSGI application: app(environ, start_response).";

PyMethodDef serve_def = {"serve",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(serve)),
                         METH_VARARGS | METH_KEYWORDS, serve_doc};

}  // namespace

Ref make_serve_function() {
    Ref module_name = Ref::steal(PyUnicode_FromString("zelweb"));
    if (!module_name) return module_name;
    return Ref::steal(PyCFunction_NewEx(&serve_def, nullptr, module_name.get()));
}

}  // namespace zelweb

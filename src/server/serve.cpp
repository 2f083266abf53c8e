// serve: its arguments, its listening socket and banner, then one process
// serving or several.
#include "server/serve.hpp"

#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"
#include "server/listener.hpp"
#include "server/pool.hpp"
#include "server/serve_config.hpp"
#include "server/workers.hpp"

namespace zelweb {

namespace {

PyObject* serve(PyObject*, PyObject* args, PyObject* kwargs) {
    ServeConfig config;
    if (!read_serve_arguments(args, kwargs, config)) return nullptr;
    Listener listener;
    bool ok = open_listener(config, listener) && print_serve_banner(config, listener);
    if (ok) {
        PyObject* socket = listener.socket.get();
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
    "      max_connections=1024, workers=1, access_log=False, upload_dir='tmp',\n"
    "      max_body=None, shutdown_timeout=10.0, backlog=1024, interface='route',\n"
    "      root_path='', forwarded_allow_ips=None)\n"
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

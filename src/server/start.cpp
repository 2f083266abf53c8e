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
#include "server/listener.hpp"

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

// IPv4, the host's bytes and the port as given; TLS put on the fresh socket,
// before it is bound.
Ref listen_on(PyObject* host, uint16_t port, bool tls) {
    Ref socket = module_global(names.g_socket);
    Ref family = socket ? attribute(socket.get(), names.af_inet) : Ref();
    Ref type = family ? attribute(socket.get(), names.sock_stream) : Ref();
    Ref port_number = type ? Ref::steal(PyLong_FromLong(port)) : Ref();
    Ref address = port_number ? Ref::steal(PyTuple_Pack(2, host, port_number.get())) : Ref();
    if (!address) return Ref();
    ListenRequest request{family.get(), type.get(), nullptr, address.get(), names.backlog};
    if (tls) {
        request.certfile = names.cert_file;
        request.keyfile = names.key_file;
        request.wrap_before_bind = true;
    }
    return open_listening_socket(request);
}

bool print_start_banner(PyObject* host, uint16_t port) {
    Ref host_text =
        Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(host), PyBytes_GET_SIZE(host), "strict"));
    return host_text && print_banner(host_text.get(), port, false);
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
    if (!server || !print_start_banner(host.get(), port)) {
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

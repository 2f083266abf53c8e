// The design's own ceiling: zelweb's serving loop and nothing else, against
// the raw C API. Accept through the socket module, one threading.Thread per
// connection running a C function, the head read in chunks with recv_into,
// the app's route called once, a fixed response, close. No parsing, no
// record, no timeouts: whatever zelweb spends beyond this is its own cost.
//
// The response is zelweb's own, byte for byte, for the same body.
//
//     ceiling.serve(app, host, port, threaded=True)   never returns
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

const char response[] =
    "HTTP/1.1 200 OK\r\nserver: Tovrel\r\nConnection: close\r\nContent-Type: text/html\r\n"
    "Content-Length: 11\r\n\r\nhello world";

PyObject *s_recv_into, *s_sendall, *s_close, *s_route, *s_accept, *s_start, *s_response;
PyObject *thread_class, *kw_target_args, *handler;

PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, (arg ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// handle(app, con): one connection, start to close.
PyObject* handle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "handle(app, con)");
        return nullptr;
    }
    PyObject *app = args[0], *con = args[1];
    char head[8192];
    size_t got = 0;
    int run = 0;
    bool complete = false;
    while (!complete && got < sizeof head) {
        PyObject* view = PyMemoryView_FromMemory(head + got, sizeof head - got, PyBUF_WRITE);
        PyObject* n = view ? call_method(con, s_recv_into, view) : nullptr;
        Py_XDECREF(view);
        Py_ssize_t count = n ? PyLong_AsSsize_t(n) : -1;
        Py_XDECREF(n);
        if (count <= 0) break;
        for (Py_ssize_t i = 0; i < count && !complete; ++i) {
            char c = head[got + i];
            run = (c == '\r' || c == '\n') ? run + 1 : 0;
            complete = run == 4;
        }
        got += static_cast<size_t>(count);
    }
    if (complete) {
        PyObject* r = call_method(app, s_route, Py_None);
        if (r) {
            Py_DECREF(r);
            r = call_method(con, s_sendall, s_response);
        }
        Py_XDECREF(r);
    }
    PyErr_Clear();
    Py_XDECREF(call_method(con, s_close, nullptr));
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef handle_def = {"handle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(handle)),
                          METH_FASTCALL, nullptr};

PyObject* serve(PyObject*, PyObject* args) {
    PyObject *app, *host;
    int port, threaded = 1;
    if (!PyArg_ParseTuple(args, "OOi|p", &app, &host, &port, &threaded)) return nullptr;
    PyObject* socket = PyImport_ImportModule("socket");
    if (!socket) return nullptr;
    PyObject* create = PyObject_GetAttrString(socket, "create_server");
    Py_DECREF(socket);
    PyObject* address = create ? Py_BuildValue("((Oi))", host, port) : nullptr;
    PyObject* options = address ? Py_BuildValue("{si}", "backlog", 4096) : nullptr;
    PyObject* server = options ? PyObject_Call(create, address, options) : nullptr;
    Py_XDECREF(create);
    Py_XDECREF(address);
    Py_XDECREF(options);
    if (!server) return nullptr;
    for (;;) {
        PyObject* pair = call_method(server, s_accept, nullptr);
        if (!pair) break;  // a signal (the runner's SIGTERM ends us anyway)
        PyObject* thread_args = PyTuple_Pack(2, app, PyTuple_GET_ITEM(pair, 0));
        Py_DECREF(pair);
        if (!thread_args) break;
        if (!threaded) {
            PyObject* direct[] = {app, PyTuple_GET_ITEM(thread_args, 1)};
            Py_XDECREF(handle(nullptr, direct, 2));
            Py_DECREF(thread_args);
            continue;
        }
        PyObject* call_args[] = {handler, thread_args};
        PyObject* thread = PyObject_Vectorcall(thread_class, call_args, 0, kw_target_args);
        Py_DECREF(thread_args);
        PyObject* started = thread ? call_method(thread, s_start, nullptr) : nullptr;
        Py_XDECREF(thread);
        if (!started) break;
        Py_DECREF(started);
    }
    Py_DECREF(server);
    return nullptr;
}

PyMethodDef methods[] = {{"serve", serve, METH_VARARGS, "serve(app, host, port, threaded=True)"},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ceiling", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_ceiling() {
    s_recv_into = PyUnicode_InternFromString("recv_into");
    s_sendall = PyUnicode_InternFromString("sendall");
    s_close = PyUnicode_InternFromString("close");
    s_route = PyUnicode_InternFromString("route");
    s_accept = PyUnicode_InternFromString("accept");
    s_start = PyUnicode_InternFromString("start");
    s_response = PyBytes_FromStringAndSize(response, sizeof response - 1);
    kw_target_args = Py_BuildValue("(ss)", "target", "args");
    handler = PyCFunction_New(&handle_def, nullptr);
    PyObject* threading = PyImport_ImportModule("threading");
    thread_class = threading ? PyObject_GetAttrString(threading, "Thread") : nullptr;
    Py_XDECREF(threading);
    if (!thread_class || !handler || !kw_target_args || !s_response) return nullptr;
    return PyModule_Create(&module_def);
}

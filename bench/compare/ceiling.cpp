// The design's own ceiling: zelweb's serving loop and nothing else, against
// the raw C API. Accept through the socket module, one threading.Thread per
// connection running a C function, the head read in chunks with recv_into,
// the app's route called once, a fixed response, close. No parsing, no
// record, no timeouts: whatever zelweb spends beyond this is its own cost.
//
// keep_alive=True: the connection and its thread stay for request after
// request (each head's end found, route called, the response sent, the next
// head read; pipelined heads answered in order) until the peer closes.
//
// The response is zelweb's own, byte for byte, for the same body: start's
// with "Connection: close", serve's with "Connection: keep-alive" and a Date
// line (a fixed one, of the same length as a real one).
//
//     ceiling.serve(app, host, port, threaded=True, keep_alive=False)   never returns
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

const char response[] =
    "HTTP/1.1 200 OK\r\nserver: Tovrel\r\nConnection: close\r\nContent-Type: text/html\r\n"
    "Content-Length: 11\r\n\r\nhello world";
const char kept_response[] =
    "HTTP/1.1 200 OK\r\nserver: Tovrel\r\nConnection: keep-alive\r\n"
    "Date: Wed, 09 Dec 2026 10:00:00 GMT\r\nContent-Type: text/html\r\n"
    "Content-Length: 11\r\n\r\nhello world";

PyObject *s_recv_into, *s_sendall, *s_close, *s_route, *s_accept, *s_start, *s_response;
PyObject *s_kept_response, *thread_class, *kw_target_args, *handler, *kept_handler;

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

// handle_kept(app, con): request after request on one connection, until the
// peer closes, a receive or send fails, or a head outgrows 8 KiB. Only the run
// of CR/LF bytes is carried from one chunk to the next: that is all it takes
// to find each head's end, so each chunk is read to the buffer's start.
PyObject* handle_kept(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "handle_kept(app, con)");
        return nullptr;
    }
    PyObject *app = args[0], *con = args[1];
    char head[8192];
    size_t in_head = 0;  // bytes of the head being read so far
    int run = 0;
    PyObject* view = PyMemoryView_FromMemory(head, sizeof head, PyBUF_WRITE);
    bool open = view != nullptr;
    while (open) {
        PyObject* n = call_method(con, s_recv_into, view);
        Py_ssize_t count = n ? PyLong_AsSsize_t(n) : -1;
        Py_XDECREF(n);
        if (count <= 0) break;
        for (Py_ssize_t i = 0; i < count && open; ++i) {
            char c = head[i];
            run = (c == '\r' || c == '\n') ? run + 1 : 0;
            ++in_head;
            if (run == 4) {
                PyObject* r = call_method(app, s_route, Py_None);
                if (r) {
                    Py_DECREF(r);
                    r = call_method(con, s_sendall, s_kept_response);
                }
                open = r != nullptr;
                Py_XDECREF(r);
                run = 0;
                in_head = 0;
            }
        }
        open = open && in_head < sizeof head;
    }
    Py_XDECREF(view);
    PyErr_Clear();
    Py_XDECREF(call_method(con, s_close, nullptr));
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef handle_def = {"handle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(handle)),
                          METH_FASTCALL, nullptr};
PyMethodDef kept_def = {"handle_kept",
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(handle_kept)),
                        METH_FASTCALL, nullptr};

PyObject* serve(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"app", "host", "port", "threaded", "keep_alive", nullptr};
    PyObject *app, *host;
    int port, threaded = 1, keep_alive = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOi|pp", const_cast<char**>(keywords), &app, &host,
                                     &port, &threaded, &keep_alive))
        return nullptr;
    if (keep_alive && !threaded) {
        // One kept connection would hold the accepting thread for good.
        PyErr_SetString(PyExc_ValueError, "keep_alive needs threaded");
        return nullptr;
    }
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
        PyObject* call_args[] = {keep_alive ? kept_handler : handler, thread_args};
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

PyMethodDef methods[] = {{"serve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(serve)),
                          METH_VARARGS | METH_KEYWORDS, "serve(app, host, port, threaded=True, keep_alive=False)"},
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
    s_kept_response = PyBytes_FromStringAndSize(kept_response, sizeof kept_response - 1);
    kw_target_args = Py_BuildValue("(ss)", "target", "args");
    handler = PyCFunction_New(&handle_def, nullptr);
    kept_handler = PyCFunction_New(&kept_def, nullptr);
    PyObject* threading = PyImport_ImportModule("threading");
    thread_class = threading ? PyObject_GetAttrString(threading, "Thread") : nullptr;
    Py_XDECREF(threading);
    if (!thread_class || !handler || !kept_handler || !kw_target_args || !s_response || !s_kept_response)
        return nullptr;
    return PyModule_Create(&module_def);
}

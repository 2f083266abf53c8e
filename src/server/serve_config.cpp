// serve's arguments: Python's usual types in, checked, converted once.
#include "server/serve_config.hpp"

#include <cstring>

#include "server/static_config.hpp"

namespace zelweb {

namespace {

const char* const keywords[] = {"app",
                                "host",
                                "port",
                                "https",
                                "certfile",
                                "keyfile",
                                "keep_alive",
                                "max_connections",
                                "workers",
                                "access_log",
                                "upload_dir",
                                "max_body",
                                "shutdown_timeout",
                                "backlog",
                                "threads",
                                "static",
                                "static_max_age",
                                nullptr};

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

// An int (not a bool) in [low, high].
bool whole(PyObject* obj, const char* name, long low, long high, long& out) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "serve() %s must be an int, not %.100s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    int overflow;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow || value < low || value > high) {
        PyErr_Format(PyExc_ValueError, "serve() %s must be from %ld to %ld", name, low, high);
        return false;
    }
    out = value;
    return true;
}

// An int or a float, at least 0, as a float.
bool seconds(PyObject* obj, const char* name, double& out, Ref* as_object = nullptr) {
    if (!(PyLong_Check(obj) || PyFloat_Check(obj)) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "serve() %s must be a number of seconds, not %.100s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (!(value >= 0) || value > 1e9) {
        PyErr_Format(PyExc_ValueError, "serve() %s must be from 0 to 1e9 seconds", name);
        return false;
    }
    out = value;
    if (as_object) {
        *as_object = Ref::steal(PyFloat_FromDouble(value));
        if (!*as_object) return false;
    }
    return true;
}

// str, bytes or path-like, as os.fspath gives it.
bool path(PyObject* obj, const char* name, Ref& out) {
    out = Ref::steal(PyOS_FSPath(obj));
    if (!out) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "serve() %s must be str, bytes or path-like, not %.100s",
                     name, Py_TYPE(obj)->tp_name);
        return false;
    }
    return true;
}

bool upload_directory(PyObject* obj, ServeConfig& config) {
    Ref fspath;
    if (!path(obj, "upload_dir", fspath)) return false;
    Ref encoded = PyBytes_Check(fspath.get()) ? std::move(fspath)
                                              : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) return false;
    const char* dir = PyBytes_AS_STRING(encoded.get());
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (size == 0 || std::memchr(dir, '\0', size) || size > upload_dir_limit)
        return fail(PyExc_ValueError,
                    "serve() upload_dir must be a path of 1 to 200 bytes without a NUL");
    std::memcpy(config.upload_prefix, dir, size);
    size_t end = size;
    if (dir[size - 1] != '/') config.upload_prefix[end++] = '/';
    config.upload_prefix[end] = '\0';
    return true;
}

}  // namespace

bool read_serve_arguments(PyObject* args, PyObject* kwargs, ServeConfig& config) {
    PyObject *app, *host = nullptr, *port = nullptr, *https = nullptr, *certfile = nullptr,
                   *keyfile = nullptr, *keep_alive = nullptr, *max_connections = nullptr,
                   *workers = nullptr, *access_log = nullptr, *upload_dir = nullptr,
                   *max_body = nullptr, *shutdown_timeout = nullptr, *backlog = nullptr,
                   *threads = nullptr, *static_folders = nullptr, *static_max_age = nullptr;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "O|OO$OOOOOOOOOOOOOO:serve", const_cast<char**>(keywords), &app, &host,
            &port, &https, &certfile, &keyfile, &keep_alive, &max_connections, &workers,
            &access_log, &upload_dir, &max_body, &shutdown_timeout, &backlog, &threads,
            &static_folders, &static_max_age))
        return false;
    config.app = Ref::incref(app);
    if (!host) {
        config.host = Ref::steal(PyUnicode_FromString("127.0.0.1"));
    } else if (PyUnicode_Check(host)) {
        config.host = Ref::incref(host);
    } else if (PyBytes_Check(host)) {
        config.host = Ref::steal(
            PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(host), PyBytes_GET_SIZE(host)));
    } else {
        PyErr_Format(PyExc_TypeError, "serve() host must be str or bytes, not %.100s",
                     Py_TYPE(host)->tp_name);
        return false;
    }
    if (!config.host) return false;
    if (port && !whole(port, "port", 0, 65535, config.port)) return false;
    if (https) {
        int on = PyObject_IsTrue(https);
        if (on < 0) return false;
        config.tls = on;
    }
    if (!path(certfile ? certfile : Ref::steal(PyUnicode_FromString("cert/app.crt")).get(),
              "certfile", config.certfile) ||
        !path(keyfile ? keyfile : Ref::steal(PyUnicode_FromString("cert/app.key")).get(), "keyfile",
              config.keyfile))
        return false;
    if (keep_alive) {
        if (!seconds(keep_alive, "keep_alive", config.keep_alive_seconds, &config.keep_alive))
            return false;
    } else if (!(config.keep_alive = Ref::steal(PyFloat_FromDouble(config.keep_alive_seconds)))) {
        return false;
    }
    if (max_connections &&
        !whole(max_connections, "max_connections", 1, 1 << 24, config.max_connections))
        return false;
    // Under TLS each connection holds a thread: the old bound, unless asked.
    if (!max_connections && config.tls) config.max_connections = default_tls_connections;
    if (threads && !whole(threads, "threads", 1, 1024, config.threads)) return false;
    if (workers && !whole(workers, "workers", 1, 4096, config.workers)) return false;
    if (backlog && !whole(backlog, "backlog", 1, 1 << 24, config.backlog)) return false;
    if (access_log && access_log != Py_False && access_log != Py_None) {
        if (access_log != Py_True && !PyObject_HasAttrString(access_log, "write")) {
            PyErr_Format(PyExc_TypeError,
                         "serve() access_log must be a bool or have a write method, not %.100s",
                         Py_TYPE(access_log)->tp_name);
            return false;
        }
        config.access_log = Ref::incref(access_log);
    }
    if (upload_dir && !upload_directory(upload_dir, config)) return false;
    if (max_body && max_body != Py_None) {
        long limit;
        if (!whole(max_body, "max_body", 0, LONG_MAX, limit)) return false;
        config.max_body = static_cast<uint64_t>(limit);
    }
    if (shutdown_timeout && !seconds(shutdown_timeout, "shutdown_timeout", config.shutdown_timeout))
        return false;
    // Last: the folders are opened.
    return read_static_folders(static_folders, static_max_age, config);
}

}  // namespace zelweb

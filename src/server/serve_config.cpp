// serve's arguments: Python's usual types in, checked, converted once.
#include "server/serve_config.hpp"

#include <cstring>

#include "parse/head.hpp"
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
                                "interface",
                                "root_path",
                                "forwarded_allow_ips",
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

bool interface(PyObject* obj, ServeConfig& config) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "serve() interface must be a str, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "wsgi") == 0)
        config.wsgi = true;
    else if (PyUnicode_CompareWithASCIIString(obj, "route") != 0)
        return fail(PyExc_ValueError, "serve() interface must be 'route' or 'wsgi'");
    return true;
}

// "" or a path from "/", as SCRIPT_NAME holds it: Latin-1, without a "/" at
// its end, nothing a path cannot hold.
bool root_path(PyObject* obj, ServeConfig& config) {
    Ref text;
    if (PyUnicode_Check(obj)) {
        text = Ref::steal(PyUnicode_AsLatin1String(obj));
        if (!text) {
            PyErr_Clear();
            return fail(PyExc_ValueError, "serve() root_path must be Latin-1 text");
        }
    } else if (PyBytes_Check(obj)) {
        text = Ref::incref(obj);
    } else {
        PyErr_Format(PyExc_TypeError, "serve() root_path must be str or bytes, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    const char* p = PyBytes_AS_STRING(text.get());
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(text.get()));
    while (size > 0 && p[size - 1] == '/') --size;
    bool ok = size <= root_path_limit && (size == 0 || p[0] == '/');
    for (size_t i = 0; ok && i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        ok = c > 0x20 && c != 0x7F && c != '?' && c != '#';
    }
    if (!ok)
        return fail(PyExc_ValueError,
                    "serve() root_path must be empty or a path from '/' of at most 1024 bytes, "
                    "without spaces, control characters, '?' or '#'");
    std::memcpy(config.root_path_text, p, size);
    config.root_path_text[size] = '\0';
    config.root_path_size = size;
    config.root_path =
        Ref::steal(PyUnicode_DecodeLatin1(p, static_cast<Py_ssize_t>(size), nullptr));
    return static_cast<bool>(config.root_path);
}

bool trusted_entry(PyObject* entry, ServeConfig& config) {
    if (!PyUnicode_Check(entry)) {
        PyErr_Format(PyExc_TypeError,
                     "serve() forwarded_allow_ips must hold str addresses, not %.100s",
                     Py_TYPE(entry)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(entry, &size);
    if (!text) return false;
    std::string_view address = trim_blanks(std::string_view(text, static_cast<size_t>(size)));
    if (config.trusted.add(address)) return true;
    PyErr_Format(PyExc_ValueError,
                 "serve() forwarded_allow_ips: %R is not an address, a network or '*' (or more "
                 "than %zu were given)",
                 entry, forwarded_allow_limit);
    return false;
}

// "*", addresses separated by commas, or an iterable of addresses; each
// may be a network ("10.0.0.0/8").
bool forwarded_allow_ips(PyObject* obj, ServeConfig& config) {
    Ref entries;
    if (PyUnicode_Check(obj)) {
        Ref comma = Ref::steal(PyUnicode_FromString(","));
        entries = comma ? Ref::steal(PyUnicode_Split(obj, comma.get(), -1)) : Ref();
    } else if (PyBytes_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "serve() forwarded_allow_ips must be str or a list of str");
        return false;
    } else {
        entries = Ref::steal(PySequence_List(obj));
        if (!entries && PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "serve() forwarded_allow_ips must be str or a list of str, not %.100s",
                         Py_TYPE(obj)->tp_name);
        }
    }
    if (!entries) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i)
        if (!trusted_entry(PyList_GET_ITEM(entries.get(), i), config)) return false;
    return true;
}

}  // namespace

bool read_serve_arguments(PyObject* args, PyObject* kwargs, ServeConfig& config) {
    PyObject *app, *host = nullptr, *port = nullptr, *https = nullptr, *certfile = nullptr,
                   *keyfile = nullptr, *keep_alive = nullptr, *max_connections = nullptr,
                   *workers = nullptr, *access_log = nullptr, *upload_dir = nullptr,
                   *max_body = nullptr, *shutdown_timeout = nullptr, *backlog = nullptr,
                   *threads = nullptr, *interface_name = nullptr, *root = nullptr,
                   *forwarded = nullptr, *static_folders = nullptr, *static_max_age = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$OOOOOOOOOOOOOOOOO:serve",
                                     const_cast<char**>(keywords), &app, &host, &port, &https,
                                     &certfile, &keyfile, &keep_alive, &max_connections, &workers,
                                     &access_log, &upload_dir, &max_body, &shutdown_timeout,
                                     &backlog, &threads, &interface_name, &root, &forwarded,
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
    if (interface_name && !interface(interface_name, config)) return false;
    if (config.wsgi && !PyCallable_Check(app)) {
        PyErr_Format(PyExc_TypeError,
                     "serve() app must be callable with interface='wsgi', not %.100s",
                     Py_TYPE(app)->tp_name);
        return false;
    }
    if (root ? !root_path(root, config)
             : !(config.root_path = Ref::steal(PyUnicode_FromString(""))))
        return false;
    if (forwarded && forwarded != Py_None && !forwarded_allow_ips(forwarded, config)) return false;
    // Last: the folders are opened.
    return read_static_folders(static_folders, static_max_age, config);
}

}  // namespace zelweb

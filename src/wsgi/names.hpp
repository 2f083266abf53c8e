// The environment's keys and constant values, and the names the WSGI
// objects call, made once at import so that a request makes none of them.
// Never freed, as py/names.hpp's.
#pragma once
#include <Python.h>

#include <string_view>

namespace zelweb {

struct WsgiNames {
    // keys
    PyObject *REQUEST_METHOD, *SCRIPT_NAME, *PATH_INFO, *QUERY_STRING, *CONTENT_TYPE,
        *CONTENT_LENGTH, *SERVER_NAME, *SERVER_PORT, *SERVER_PROTOCOL, *REMOTE_ADDR, *REMOTE_PORT,
        *HTTP_HOST, *HTTP_COOKIE, *wsgi_version, *wsgi_url_scheme, *wsgi_input,
        *wsgi_input_terminated, *wsgi_errors, *wsgi_multithread, *wsgi_multiprocess, *wsgi_run_once,
        *wsgi_file_wrapper;
    // values
    PyObject *version, *http, *https, *http_1_0, *http_1_1, *empty, *slash, *port_80, *port_443,
        *comma, *cookie_separator;
    PyObject* body_wait;   // a float: how long each receive of a body waits
    PyObject* methods[8];  // GET, HEAD, POST, PUT, DELETE, PATCH, OPTIONS
    // names called
    PyObject *read, *close, *fileno, *tell, *stderr_;
    PyObject* sys_dict;  // borrowed: the sys module's namespace, where sys.stderr is looked up
};

extern WsgiNames wsgi_names;

bool make_wsgi_names();

// The interned text of a common method, or null.
PyObject* known_method(std::string_view method);

}  // namespace zelweb

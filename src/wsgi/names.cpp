// The WSGI names.
#include "wsgi/names.hpp"

#include "parse/limits.hpp"

namespace zelweb {

WsgiNames wsgi_names;

namespace {

const char* const method_texts[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"};

bool intern(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

}  // namespace

bool make_wsgi_names() {
    WsgiNames& n = wsgi_names;
    bool ok =
        intern(n.REQUEST_METHOD, "REQUEST_METHOD") && intern(n.SCRIPT_NAME, "SCRIPT_NAME") &&
        intern(n.PATH_INFO, "PATH_INFO") && intern(n.QUERY_STRING, "QUERY_STRING") &&
        intern(n.CONTENT_TYPE, "CONTENT_TYPE") && intern(n.CONTENT_LENGTH, "CONTENT_LENGTH") &&
        intern(n.SERVER_NAME, "SERVER_NAME") && intern(n.SERVER_PORT, "SERVER_PORT") &&
        intern(n.SERVER_PROTOCOL, "SERVER_PROTOCOL") && intern(n.REMOTE_ADDR, "REMOTE_ADDR") &&
        intern(n.REMOTE_PORT, "REMOTE_PORT") && intern(n.HTTP_HOST, "HTTP_HOST") &&
        intern(n.HTTP_COOKIE, "HTTP_COOKIE") && intern(n.wsgi_version, "wsgi.version") &&
        intern(n.wsgi_url_scheme, "wsgi.url_scheme") && intern(n.wsgi_input, "wsgi.input") &&
        intern(n.wsgi_input_terminated, "wsgi.input_terminated") &&
        intern(n.wsgi_errors, "wsgi.errors") && intern(n.wsgi_multithread, "wsgi.multithread") &&
        intern(n.wsgi_multiprocess, "wsgi.multiprocess") &&
        intern(n.wsgi_run_once, "wsgi.run_once") &&
        intern(n.wsgi_file_wrapper, "wsgi.file_wrapper") && intern(n.http, "http") &&
        intern(n.https, "https") && intern(n.http_1_0, "HTTP/1.0") &&
        intern(n.http_1_1, "HTTP/1.1") && intern(n.empty, "") && intern(n.slash, "/") &&
        intern(n.port_80, "80") && intern(n.port_443, "443") && intern(n.comma, ",") &&
        intern(n.cookie_separator, "; ") && intern(n.read, "read") && intern(n.close, "close") &&
        intern(n.fileno, "fileno") && intern(n.tell, "tell") && intern(n.stderr_, "stderr");
    for (size_t i = 0; ok && i < sizeof method_texts / sizeof *method_texts; ++i)
        ok = intern(n.methods[i], method_texts[i]);
    if (ok && !n.version) n.version = Py_BuildValue("(ii)", 1, 0);
    if (ok && !n.body_wait) n.body_wait = PyFloat_FromDouble(post_timeout_seconds);
    PyObject* sys = ok ? PyImport_AddModule("sys") : nullptr;  // borrowed
    if (sys) n.sys_dict = PyModule_GetDict(sys);
    return ok && n.version && n.body_wait && n.sys_dict;
}

PyObject* known_method(std::string_view method) {
    for (size_t i = 0; i < sizeof method_texts / sizeof *method_texts; ++i)
        if (method == method_texts[i]) return wsgi_names.methods[i];
    return nullptr;
}

}  // namespace zelweb

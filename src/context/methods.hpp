// The slot functions of http_t's methods, by the file that holds them; the
// method table in http_t.cpp lists them in their slot order.
#pragma once
#include <Python.h>

namespace zelweb {

// accessors.cpp: the path, query parameters, cookies, "Auth", the user agent.
PyObject* http_t_c_url(PyObject* self, PyObject*);
PyObject* http_t_c_path(PyObject* self, PyObject* arg);
PyObject* http_t_c_get(PyObject* self, PyObject* arg);
PyObject* http_t_c_get_cookie(PyObject* self, PyObject* arg);
PyObject* http_t_c_get_auth(PyObject* self, PyObject* arg);
PyObject* http_t_c_user_agent(PyObject* self, PyObject*);
PyObject* http_t_c_method(PyObject* self, PyObject*);
PyObject* http_t_c_header(PyObject* self, PyObject* arg);
PyObject* http_t_c_headers(PyObject* self, PyObject*);
PyObject* http_t_c_query(PyObject* self, PyObject*);
PyObject* http_t_c_remote_addr(PyObject* self, PyObject*);
PyObject* http_t_c_remote_port(PyObject* self, PyObject*);
PyObject* http_t_c_scheme(PyObject* self, PyObject*);

// target.cpp: the target split.
PyObject* http_t_init_get(PyObject* self, PyObject*);

// setters.cpp: the response.
PyObject* http_t_c_text(PyObject* self, PyObject* arg);
PyObject* http_t_c_data(PyObject* self, PyObject* arg);
PyObject* http_t_c_data_r(PyObject* self, PyObject* arg);
PyObject* http_t_c_status(PyObject* self, PyObject* arg);
PyObject* http_t_c_status_text(PyObject* self, PyObject* arg);
PyObject* http_t_c_content_type(PyObject* self, PyObject* arg);
PyObject* http_t_c_set_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* http_t_c_set_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* http_t_c_redirect(PyObject* self, PyObject* arg);

// response_file.cpp: a file as the body.
PyObject* http_t_c_file(PyObject* self, PyObject* arg);

// response_stream.cpp: an iterable as the body.
PyObject* http_t_c_stream(PyObject* self, PyObject* arg);

// bodies.cpp: the body, the uploads, and the copy that keeps one.
PyObject* http_t_c_post(PyObject* self, PyObject* arg);
PyObject* http_t_c_json(PyObject* self, PyObject*);
PyObject* http_t_c_files(PyObject* self, PyObject* arg);
PyObject* http_t_c_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* http_t_c_body(PyObject* self, PyObject*);
PyObject* http_t_c_uploads(PyObject* self, PyObject*);

}  // namespace zelweb

// The http_t type: construction, destruction, the pickling refusal and the
// method table.
#include "context/http_t.hpp"

#include <unistd.h>

#include <cstring>
#include <new>

#include "context/methods.hpp"

namespace zelweb {

namespace {

// A few freed records are kept for the next requests: a record is 8 KiB, and
// taking it from the allocator and giving it back is a good part of what a
// kept-alive request costs. The interpreter lock guards the list.
constexpr int kept_records = 16;
void* free_records[kept_records];
int free_count = 0;

void free_record(void* memory) {
    if (free_count < kept_records)
        free_records[free_count++] = memory;
    else
        PyObject_Free(memory);
}

// Every text field is read up to its first zero byte, so an empty record
// needs only the first byte of each field cleared, not 8 KiB of zeroing per
// request. (Interpreter subclasses keep the generic, zero-filling allocator.)
PyObject* alloc_record(PyTypeObject* type, Py_ssize_t items) {
    if (type != &http_t_type) return PyType_GenericAlloc(type, items);
    void* memory = free_count ? free_records[--free_count] : PyObject_Malloc(sizeof(HttpObject));
    if (!memory) return PyErr_NoMemory();
    PyObject* obj = PyObject_Init(static_cast<PyObject*>(memory), type);
    HttpObject* r = as_record(obj);
    for (char* field :
         {r->url, r->method, r->request_protocol, r->user_agent, r->cookie, r->request_content_type,
          r->query, r->set_cookie, r->headers, r->response_protocol, r->status_text,
          r->content_type, r->upload_name, r->upload_tmp_name, r->upload_type, r->data_path,
          r->auth, r->remote_addr, r->scheme})
        field[0] = '\0';
    take_back_loans(r);
    r->content_length = 0;
    r->status = 0;
    r->upload_size = 0;
    r->data_remove = 0;
    r->data_size = 0;
    r->remote_port = 0;
    return obj;
}

// Arguments are accepted and ignored; no initialiser runs.
PyObject* http_t_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return obj;
    HttpObject* r = as_record(obj);
    new (&r->text) ResponseText();
    r->limits = Limits::fixed;
    r->long_values = nullptr;
    r->file_fd = -1;
    r->file_type = std::string_view();
    r->stream = r->stream_iterator = nullptr;
    r->content_type_set = r->status_text_set = r->refused = false;
    return obj;
}

void http_t_dealloc(PyObject* self) {
    HttpObject* r = as_record(self);
    close_chosen_file(r);
    release_stream(r);
    delete r->long_values;
    r->text.~ResponseText();
    Py_TYPE(self)->tp_free(self);
}

PyObject* refuse_pickling(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef http_t_methods[] = {
    {"c_copy", as_cfunction(http_t_c_copy), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"c_files", http_t_c_files, METH_O, nullptr},
    {"c_url", http_t_c_url, METH_NOARGS, nullptr},
    {"c_path", http_t_c_path, METH_O, nullptr},
    {"c_text", http_t_c_text, METH_O, nullptr},
    {"c_data", http_t_c_data, METH_O, nullptr},
    {"c_data_r", http_t_c_data_r, METH_O, nullptr},
    {"c_status", http_t_c_status, METH_O, nullptr},
    {"c_status_text", http_t_c_status_text, METH_O, nullptr},
    {"c_content_type", http_t_c_content_type, METH_O, nullptr},
    {"c_post", http_t_c_post, METH_O, nullptr},
    {"c_json", http_t_c_json, METH_NOARGS, nullptr},
    {"c_get", http_t_c_get, METH_O, nullptr},
    {"c_set_cookie", as_cfunction(http_t_c_set_cookie), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"c_get_cookie", http_t_c_get_cookie, METH_O, nullptr},
    {"c_get_auth", http_t_c_get_auth, METH_O, nullptr},
    {"c_user_agent", http_t_c_user_agent, METH_NOARGS, nullptr},
    {"c_set_header", as_cfunction(http_t_c_set_header), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"c_redirect", http_t_c_redirect, METH_O, nullptr},
    {"_init_get", http_t_init_get, METH_NOARGS, nullptr},
    {"c_method", http_t_c_method, METH_NOARGS, nullptr},
    {"c_header", http_t_c_header, METH_O, nullptr},
    {"c_headers", http_t_c_headers, METH_NOARGS, nullptr},
    {"c_query", http_t_c_query, METH_NOARGS, nullptr},
    {"c_remote_addr", http_t_c_remote_addr, METH_NOARGS, nullptr},
    {"c_remote_port", http_t_c_remote_port, METH_NOARGS, nullptr},
    {"c_body", http_t_c_body, METH_NOARGS, nullptr},
    {"c_uploads", http_t_c_uploads, METH_NOARGS, nullptr},
    {"c_file", http_t_c_file, METH_O, nullptr},
    {"c_scheme", http_t_c_scheme, METH_NOARGS, nullptr},
    {"c_stream", http_t_c_stream, METH_O, nullptr},
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickling, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject http_t_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void close_chosen_file(HttpObject* r) {
    if (r->file_fd < 0) return;
    ::close(r->file_fd);
    r->file_fd = -1;
}

LongValues* long_values_of(HttpObject* r) {
    if (!r->long_values) {
        r->long_values = new (std::nothrow) LongValues();
        if (!r->long_values) PyErr_NoMemory();
    }
    return r->long_values;
}

Ref find_override(PyObject* self, PyObject* name, PyCFunction builtin) {
    if (Py_TYPE(self) == &http_t_type) return Ref();
    Ref method = Ref::steal(PyObject_GetAttr(self, name));
    if (!method) return method;
    if (PyCFunction_Check(method.get()) && PyCFunction_GET_SELF(method.get()) == self &&
        PyCFunction_GET_FUNCTION(method.get()) == builtin)
        return Ref();
    return method;
}

bool register_http_t(PyObject* module) {
    PyTypeObject& t = http_t_type;
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        t.tp_name = "zelweb.http_t";
        t.tp_basicsize = sizeof(HttpObject);
        t.tp_dealloc = http_t_dealloc;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        t.tp_methods = http_t_methods;
        t.tp_new = http_t_new;
        t.tp_alloc = alloc_record;
        t.tp_free = free_record;  // subclasses get the generic one back from type()
        if (PyType_Ready(&t) < 0) return false;
    }
    Py_INCREF(&t);
    if (PyModule_AddObject(module, "http_t", reinterpret_cast<PyObject*>(&t)) < 0) {
        Py_DECREF(&t);
        return false;
    }
    return true;
}

Ref new_request_record() {
    Ref obj = Ref::steal(http_t_new(&http_t_type, nullptr, nullptr));
    if (!obj) return obj;
    HttpObject* r = as_record(obj.get());
    r->data_size = 0;
    r->data_remove = 0;
    std::memcpy(r->response_protocol, "HTTP/1.1", 9);
    r->status = 200;
    std::memcpy(r->status_text, "OK", 3);
    std::memcpy(r->content_type, "text/html", 10);
    r->data_path[0] = '\0';
    return obj;
}

}  // namespace zelweb

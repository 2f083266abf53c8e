// The request context record http_t: its layout and its natively callable
// operations.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "context/strings.hpp"

namespace zelweb {

constexpr size_t text_capacity = 1024000;

// The response text is a field of 1,024,000 bytes; its storage is taken on
// first write, sized to the text, so a record does not cost a megabyte.
struct TextBody {
    char* data = nullptr;  // owned, NUL-terminated when not null
    size_t size = 0;
    std::string_view view() const { return data ? std::string_view(data, size) : std::string_view(); }
};

struct HttpObject {
    PyObject_HEAD
    char url[1024];
    char method[100];
    char request_protocol[10];
    char user_agent[150];
    char cookie[1024];
    char request_content_type[40];
    uint32_t content_length;
    char* post;  // the handler's body buffer, not owned; null outside a POST request
    char query[1025];
    char set_cookie[1024];
    char headers[1024];
    char response_protocol[100];
    uint16_t status;
    char status_text[10];
    TextBody text;
    char content_type[250];
    char upload_name[250];
    int64_t upload_size;
    char upload_tmp_name[250];
    char upload_type[40];
    char data_path[250];
    uint8_t data_remove;
    uint32_t data_size;
    char auth[1024];
    size_t post_size;  // bytes of text in `post`
};

extern PyTypeObject http_t_type;

bool register_http_t(PyObject* module);

// A new plain record with the response defaults set. New reference.
HttpObject* new_request_record();

// The two native calls: virtual, so an interpreter subclass that defines the
// method of the same name is called instead (its result is not used).
// Exceptions are reported as ignored in the operation; nothing is returned.
void call_init_get(HttpObject* self);
void call_set_header(HttpObject* self, std::string_view key, std::string_view value);

// The operations behind the methods, on converted arguments.
void init_get(HttpObject* self);
void set_header(HttpObject* self, std::string_view key, std::string_view value);
bool set_text(HttpObject* self, std::string_view data);

// Method slot functions, defined beside their Parts.
PyObject* http_t_c_url(PyObject* self, PyObject*);
PyObject* http_t_c_path(PyObject* self, PyObject* arg);
PyObject* http_t_c_get(PyObject* self, PyObject* arg);
PyObject* http_t_c_get_cookie(PyObject* self, PyObject* arg);
PyObject* http_t_c_get_auth(PyObject* self, PyObject* arg);
PyObject* http_t_c_user_agent(PyObject* self, PyObject*);
PyObject* http_t_init_get(PyObject* self, PyObject*);

PyObject* http_t_c_text(PyObject* self, PyObject* arg);
PyObject* http_t_c_data(PyObject* self, PyObject* arg);
PyObject* http_t_c_data_r(PyObject* self, PyObject* arg);
PyObject* http_t_c_status(PyObject* self, PyObject* arg);
PyObject* http_t_c_status_text(PyObject* self, PyObject* arg);
PyObject* http_t_c_content_type(PyObject* self, PyObject* arg);
PyObject* http_t_c_set_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* http_t_c_set_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* http_t_c_redirect(PyObject* self, PyObject* arg);

PyObject* http_t_c_post(PyObject* self, PyObject* arg);
PyObject* http_t_c_json(PyObject* self, PyObject*);
PyObject* http_t_c_files(PyObject* self, PyObject* arg);
PyObject* http_t_c_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline HttpObject* as_record(PyObject* self) { return reinterpret_cast<HttpObject*>(self); }

// A text result: a new bytes object holding a copy.
inline PyObject* bytes_of(std::string_view s) { return PyBytes_FromStringAndSize(s.data(), s.size()); }

// Percent-decodes a query or form value the way an application expects: "+"
// becomes a space, then the module's `unquote` runs on the text read as strict
// UTF-8. New reference to bytes; on an error, the error is reported as
// ignored in `context` and empty bytes are returned.
PyObject* decode_value(std::string_view raw, const char* context);

}  // namespace zelweb

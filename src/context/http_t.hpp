// The request context record http_t: its layout and its natively callable
// operations.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "context/response_text.hpp"
#include "context/upload_list.hpp"
#include "parse/limits.hpp"
#include "py/ref.hpp"

namespace zelweb {

struct HttpObject {
    PyObject_HEAD char url[url_capacity];
    char method[method_capacity];
    char request_protocol[protocol_capacity];
    char user_agent[user_agent_capacity];
    char cookie[cookie_capacity];
    char request_content_type[media_type_capacity];
    uint32_t content_length;
    char* post;  // the handler's body buffer, not owned; null outside a POST request
    char query[query_capacity];
    char set_cookie[set_cookie_capacity];
    char headers[headers_capacity];
    char response_protocol[response_protocol_capacity];
    uint16_t status;
    char status_text[status_text_capacity];
    ResponseText text;  // constructed and destroyed with the record
    char content_type[content_type_capacity];
    char upload_name[path_capacity];
    int64_t upload_size;
    char upload_tmp_name[path_capacity];
    char upload_type[media_type_capacity];
    char data_path[path_capacity];
    uint8_t data_remove;
    uint32_t data_size;
    char auth[auth_capacity];
    size_t post_size;  // bytes of text in `post`
    // What the handler lends the record while its request is served; null
    // (or empty) before and after, so a record kept by the application
    // never reads freed memory.
    const char* request_head;  // the head as received, its terminating run included
    size_t request_head_size;
    const char* body;  // the body after transfer decoding, every byte
    size_t body_size;
    const UploadList* uploads;
    char remote_addr[remote_addr_capacity];
    uint16_t remote_port;
    char scheme[scheme_capacity];  // "http" or "https"
};

extern PyTypeObject http_t_type;

// Readies the type and binds it as the module attribute `http_t`.
bool register_http_t(PyObject* module);

// A new plain record with the response defaults set.
Ref new_request_record();

inline HttpObject* as_record(PyObject* self) { return reinterpret_cast<HttpObject*>(self); }

// What the record borrowed while its request was served is taken back: a
// record the application kept reads empty values, never freed memory.
inline void take_back_loans(HttpObject* r) {
    r->post = nullptr;
    r->post_size = 0;
    r->request_head = nullptr;
    r->request_head_size = 0;
    r->body = nullptr;
    r->body_size = 0;
    r->uploads = nullptr;
}
inline PyObject* as_object(HttpObject* self) { return reinterpret_cast<PyObject*>(self); }

// The override of method `name` in an interpreter subclass of http_t, or
// null when the built-in `builtin` would run (null with an error set when the
// lookup failed).
Ref find_override(PyObject* self, PyObject* name, PyCFunction builtin);

// The two native calls: virtual, so an interpreter subclass that defines the
// method of the same name is called instead (its result is not used).
// Exceptions are reported as ignored in the operation; nothing is returned.
void call_init_get(HttpObject* self);  // target.cpp
void call_set_header(HttpObject* self, std::string_view key,
                     std::string_view value);  // setters.cpp

}  // namespace zelweb

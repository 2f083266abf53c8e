// The request context record http_t: its layout and its natively callable
// operations.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "context/long_values.hpp"
#include "context/response_text.hpp"
#include "context/upload_list.hpp"
#include "parse/limits.hpp"
#include "parse/text.hpp"
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
    // Which limits the setters keep: start's fixed fields, or serve's
    // longer values, set by the handler that makes the record.
    Limits limits;
    LongValues* long_values;  // owned; null until a value outgrows its field
    int file_fd;              // the file chosen with c_file, owned; -1 when none
    std::string_view file_type;  // its media type, from the table (never freed)
    // The iterable chosen with c_stream and its iterator, owned; null when
    // none. Its close() is called when it is dropped (release_stream).
    PyObject* stream;
    PyObject* stream_iterator;
    bool content_type_set;       // c_content_type stored a type: a file keeps it
    bool status_text_set;        // c_status_text stored a text: serve sends no standard phrase
    bool refused;                // under serve, a setter refused a value: the response is a 500
    // An absolute-form target's authority, lent like the head: the request's
    // Host, whatever a Host line says (serve).
    const char* authority;
    size_t authority_size;
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
    r->authority = nullptr;
    r->authority_size = 0;
}
inline PyObject* as_object(HttpObject* self) { return reinterpret_cast<PyObject*>(self); }

// The file chosen with c_file is closed: at a request's end, when another
// file is chosen, with the record.
void close_chosen_file(HttpObject* r);

// Drops the c_stream iterable, calling its close() if it has one (an error
// of that call is reported); nothing when there is none. Any pending error
// is kept.
void release_stream(HttpObject* r);

// The record's storage for long values, made on first use; null with
// MemoryError set.
LongValues* long_values_of(HttpObject* r);

// A value that may outgrow its field under serve: the long text when in
// use, else the field.
inline std::string_view long_or_field(const HttpObject* r, LongText LongValues::*which,
                                      std::string_view field) {
    if (r->long_values && (r->long_values->*which).in_use()) return (r->long_values->*which).view();
    return field;
}
inline std::string_view url_of(const HttpObject* r) {
    return long_or_field(r, &LongValues::url, field_text(r->url));
}
inline std::string_view query_of(const HttpObject* r) {
    return long_or_field(r, &LongValues::query, field_text(r->query));
}
inline std::string_view status_text_of(const HttpObject* r) {
    return long_or_field(r, &LongValues::status_text, field_text(r->status_text));
}
inline std::string_view headers_of(const HttpObject* r) {
    return long_or_field(r, &LongValues::headers, field_text(r->headers));
}
inline std::string_view set_cookie_of(const HttpObject* r) {
    return long_or_field(r, &LongValues::set_cookie, field_text(r->set_cookie));
}

// Stores `value` in `field` when it fits (the long text let go), else in
// the long text beside the record. False with MemoryError set.
template <size_t N>
bool store_long_value(HttpObject* r, char (&field)[N], LongText LongValues::*which,
                      std::string_view value) {
    if (value.size() < N) {
        if (!value.empty()) std::memmove(field, value.data(), value.size());
        field[value.size()] = '\0';
        if (r->long_values) (r->long_values->*which).clear();
        return true;
    }
    LongValues* values = long_values_of(r);
    return values && (values->*which).assign(value);
}

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

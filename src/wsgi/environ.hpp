// The WSGI environment of a request, built from its strictly read head: no
// parsing in Python, the keys interned, the constant part copied from a
// template made once per server.
#pragma once
#include <Python.h>

#include <string_view>

#include "parse/request_head.hpp"
#include "py/ref.hpp"

namespace zelweb {

// What the environment holds besides the head's own words.
struct EnvironInputs {
    PyObject* base;              // environ_template's dict
    const RequestHead* head;     // accepted by read_request_head
    std::string_view root_path;  // SCRIPT_NAME's text, cut from the front of the path
    PyObject* remote_addr;       // str
    PyObject* remote_port;       // str
    PyObject* server_name;       // str: for a request that names no host
    PyObject* server_port;       // str
    bool https;                  // wsgi.url_scheme
    bool base_https;             // what environ_template was told
    std::string_view host;       // a trusted proxy's X-Forwarded-Host, else empty
    PyObject* input;             // wsgi.input
};

// The keys every request has, the constant ones with their values: one
// dict a request copies.
Ref environ_template(PyObject* script_name, bool multiprocess, bool https);

Ref build_environ(const EnvironInputs& in);

}  // namespace zelweb

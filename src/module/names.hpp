// Process-wide state made once at import: interned attribute names, text
// constants, constant numbers, the module settings and the module object.
// Never freed: connection threads may outlive any teardown order.
#pragma once
#include <Python.h>

#include <cstdint>

namespace zelweb {

struct Names {
    // attribute and method names
    PyObject *accept, *recv_into, *send, *sendfile, *settimeout, *setblocking, *close, *route,
        *setsockopt, *bind, *listen, *start, *Thread, *target, *args, *AF_INET, *SOCK_STREAM,
        *SOL_SOCKET, *SO_REUSEADDR, *SSLContext, *PROTOCOL_TLS_SERVER, *load_cert_chain,
        *wrap_socket, *server_side, *do_handshake_on_connect, *do_handshake, *path, *exists,
        *getsize, *remove, *shutdown, *time_ns, *randrange, *write, *open, *print, *stdout_, *flush,
        *init_get, *c_set_header, *unquote;
    // module globals
    PyObject *g_socket, *g_threading, *g_random, *g_os, *g_time, *g_ssl;
    // keyword-name tuples for vectorcall
    PyObject *kw_target_args, *kw_server_side_handshake;
    // text constants
    PyObject *banner_prefix, *cert_file, *key_file, *mode_wb, *mode_rb, *colon, *client_context,
        *max_post_reached, *empty_bytes;
    // numbers
    PyObject *int_0, *int_1, *int_5, *backlog, *random_low, *random_high, *float_post_timeout,
        *int_60;
};

extern Names names;

// Module settings, fixed at import.
extern float post_timeout;
extern uint32_t max_post;

// Fills the empty slots of `names`; a failed import keeps what it made.
bool make_names();

// The module object recorded by the execution step, or null. Borrowed.
PyObject* module_object();
void set_module_object(PyObject* module);  // takes a reference, or drops it with null

// A module global by name: the module namespace, then the built-ins.
// New reference; NameError when neither has it.
PyObject* module_global(PyObject* name);

}  // namespace zelweb

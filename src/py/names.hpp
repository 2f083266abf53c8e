// Interned attribute names, text constants and constant numbers, made once
// at import so that serving a request creates none. Never freed: connection
// threads may outlive any teardown order.
#pragma once
#include <Python.h>

namespace zelweb {

struct Names {
    // attribute and method names
    PyObject *accept, *recv_into, *send, *sendfile, *settimeout, *setblocking, *close, *route,
        *setsockopt, *bind, *listen, *start, *Thread, *af_inet, *sock_stream, *sol_socket,
        *so_reuseaddr, *SSLContext, *PROTOCOL_TLS_SERVER, *load_cert_chain, *wrap_socket,
        *do_handshake, *path, *exists, *getsize, *remove, *shutdown, *time_ns, *randrange, *write,
        *open, *print, *flush, *fileno, *init_get, *c_set_header, *unquote;
    // module globals
    PyObject *g_socket, *g_threading, *g_random, *g_os, *g_time, *g_ssl;
    // keyword-name tuples for vectorcall
    PyObject *kw_target_args, *kw_target_args_daemon, *kw_server_side_handshake;
    // text constants
    PyObject *banner_prefix, *cert_file, *key_file, *mode_wb, *mode_rb;
    // numbers
    PyObject *int_0, *int_1, *head_receive_timeout, *send_timeout, *backlog, *random_low,
        *random_high;
};

extern Names names;

// Fills the empty slots of `names`; a failed import keeps what it made.
bool make_names();

}  // namespace zelweb

// serve's arguments, checked and converted.
#pragma once
#include <Python.h>

#include <cstdint>

#include "core/static_site.hpp"
#include "parse/forwarded.hpp"
#include "parse/limits.hpp"
#include "py/ref.hpp"

namespace zelweb {

struct ServeConfig {
    Ref app;
    Ref host;  // str; "" for every local address
    long port = 8080;
    bool tls = false;
    Ref certfile, keyfile;  // str or bytes
    Ref keep_alive;         // a float
    double keep_alive_seconds = 5.0;
    long max_connections = default_max_connections, workers = 1, backlog = 1024;
    long threads = default_threads;
    Ref access_log;  // null: none; Py_True: standard error; else an object with write
    // The directory and a "/"; in a worker, then its mark (worker_uploads.hpp).
    char upload_prefix[upload_dir_limit + 1 + worker_mark_capacity] = "tmp/";
    uint64_t max_body = UINT64_MAX;
    double shutdown_timeout = 10.0;
    bool wsgi = false;  // interface="wsgi": app(environ, start_response)
    Ref root_path;      // str: SCRIPT_NAME, "" or "/..." without a "/" at its end
    char root_path_text[root_path_limit + 1] = "";  // the same, Latin-1
    size_t root_path_size = 0;
    TrustedProxies trusted;  // forwarded_allow_ips
    StaticSiteRef static_site;  // none when no folder was given
};

// Reads serve's arguments into `config`; false with TypeError or ValueError
// set, before anything is opened.
bool read_serve_arguments(PyObject* args, PyObject* kwargs, ServeConfig& config);

}  // namespace zelweb

// client: the stages of a request in order, and the one place that decides,
// from the outcome each stage reports, what is reported, what the peer sees
// and when the connection is closed.
#include "connection/client.hpp"

#include "connection/body.hpp"
#include "connection/close.hpp"
#include "connection/intake.hpp"
#include "connection/respond.hpp"
#include "py/bytes.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

constexpr const char* client_context = "zelweb.client";

bool remove_path(const char* path) {
    if (!path[0]) return true;
    Ref name = Ref::steal(PyBytes_FromString(path));
    return name && remove_if_exists(name.get());
}

// Every temporary file of the request's uploads removed; false with the
// first error set, the others still tried.
bool remove_uploads(const Connection& c, const HttpObject* http) {
    bool ok = remove_path(http->upload_tmp_name);
    for (size_t i = 0; i < c.uploads.size(); ++i) {
        SavedError first;
        bool removed = remove_path(c.uploads[i].tmp_name);
        if (!first.empty()) {
            PyErr_Clear();
            first.restore_copy();
        }
        ok = removed && ok;
    }
    return ok;
}

// What the record borrowed from the connection is taken back: a record the
// application kept reads empty values, never freed memory.
void detach(HttpObject* http) {
    http->post = nullptr;
    http->post_size = 0;
    http->body = nullptr;
    http->body_size = 0;
    http->request_head = nullptr;
    http->request_head_size = 0;
    http->uploads = nullptr;
}

// The text of the pending Exception that ended an upload, printed on
// standard output, and the error cleared: the request goes on.
void print_upload_error() {
    SavedError error;
    Ref text = Ref::steal(PyObject_Str(error.value() ? error.value() : error.type()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    print_message("%s\n", utf8 ? utf8 : "upload error");
}

// Closes without a response after an expected failure.
void close_quietly(Connection& c) {
    PyErr_Clear();
    if (!call_method(c.con, names.close)) report_ignored_in(client_context);
}

// The handler's error exit: the error reported twice, before anything else
// happens, so the peer sees the end of the connection only after the report.
// A torn response is closed; nothing else is sent.
void error_exit(Connection& c, HttpObject* http) {
    report_ignored_in(client_context);
    if (c.sending && !call_method(c.con, names.close)) PyErr_Clear();
    // An aborted upload must not stay behind in tmp/.
    if (http && !remove_uploads(c, http)) report_ignored_in(client_context);
}

}  // namespace

void client(PyObject* app, PyObject* con, PyObject* addr) {
    Connection c(con);
    Ref record;
    Outcome outcome = read_request(c, addr, record);
    HttpObject* http = record ? as_record(record.get()) : nullptr;
    if (outcome == Outcome::done) {
        outcome = read_body(c, http);
        if (outcome == Outcome::upload_error) {
            print_upload_error();
            outcome = Outcome::done;
        }
    }
    if (outcome == Outcome::done) outcome = respond(app, c, http);
    switch (outcome) {
        case Outcome::done:
            if (!close_connection(c) || !remove_uploads(c, http)) error_exit(c, http);
            break;
        case Outcome::close_quietly:
            close_quietly(c);
            if (http && !remove_uploads(c, http)) report_ignored_in(client_context);
            break;
        case Outcome::upload_error:
        case Outcome::failed: error_exit(c, http); break;
    }
    if (http) detach(http);
}

}  // namespace zelweb

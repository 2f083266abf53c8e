// client: the stages of a request in order, and the one place that decides,
// from the outcome each stage reports, what is reported, what the peer sees
// and when the connection is closed.
#include "connection/client.hpp"

#include <cstring>

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

// The upload's temporary file, if there is one, removed.
bool remove_upload(const HttpObject* http) {
    if (!http->upload_tmp_name[0]) return true;
    Ref path = Ref::steal(PyBytes_FromString(http->upload_tmp_name));
    return path && remove_if_exists(path.get());
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
    if (http && !remove_upload(http)) report_ignored_in(client_context);
}

}  // namespace

void client(PyObject* app, PyObject* con, PyObject*) {
    Connection c(con);
    Ref record;
    Outcome outcome = read_request(c, record);
    HttpObject* http = record ? as_record(record.get()) : nullptr;
    if (outcome == Outcome::done && std::strcmp(http->method, "POST") == 0) {
        outcome = read_body(c, http);
        if (outcome == Outcome::upload_error) {
            print_upload_error();
            outcome = Outcome::done;
        }
    }
    if (outcome == Outcome::done) outcome = respond(app, c, http);
    switch (outcome) {
        case Outcome::done:
            if (!close_connection(c) || !remove_upload(http)) error_exit(c, http);
            break;
        case Outcome::close_quietly: close_quietly(c); break;
        case Outcome::upload_error:
        case Outcome::failed: error_exit(c, http); break;
    }
    // A record kept by the application must read no freed memory.
    if (http) {
        http->post = nullptr;
        http->post_size = 0;
    }
}

}  // namespace zelweb
